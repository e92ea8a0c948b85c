// Whether the process is exiting. Once it is, the system has ended every other thread of the
// process, in whatever they were doing, and is detaching its modules: what those threads would
// have done or released never comes, and no wait for them may be made.
#pragma once

// Looks up the system's own answer; part of the module's load-time work.
void LookUpProcessExit();

// True while the process is exiting (false when the system cannot tell).
bool ProcessExiting();

// The exception that leaves the library when the engine DLL cannot be loaded.
#pragma once

// Raises the engine-load exception the way Microsoft's C++ runtime raises a `throw`, so that a host
// built with Microsoft's compiler catches it with `catch (const wchar_t*)`, `catch (wchar_t*)`,
// `catch (void*)` or `catch (...)`. The thrown object is a pointer to the constant wide string
// "can not load tolvek.dll".
//
// The call does not return. No destructor of this library runs on the way out (its frames carry no
// handlers, and it links no runtime that would look at the exception): free what must be freed,
// and hold no lock or RAII object, before calling it.
//
// Deliberately not [[noreturn]]: GCC may then end the caller with the call instruction, so the
// return address lies outside the caller's unwind range; wine64's dispatch was seen to hang there.
void RaiseEngineLoadException();

// Builds the records that describe the thrown type to the host's runtime. Called by the module's
// entry point when the module is loaded, before anything can raise the exception.
void CreateEngineLoadExceptionRecords();

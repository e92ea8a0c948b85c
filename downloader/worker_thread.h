// Task worker threads: one per task, detached, counted by their downloader (BeginWorker).
#pragma once

#include "downloader/downloader_state.h"

#include <cstdint>

// Starts the detached worker thread of `task`, counted by BeginWorker with `shutdownsSeen`; the
// thread ends the count (EndWorker) once it has ended its task. The thread gets references of its
// own to the task and to the downloader's shared state, and a reference on this library's module,
// which it gives up with its very last instruction. False when the thread could not be started.
bool StartWorker(const StateRef& state, const TaskHandle& task, std::uint32_t shutdownsSeen);

// Real transfers: the bytes of a URL move into the target file on a thread of the transfer's own.
//
// The bytes go to a temporary file in the target's folder, "~<name>.<process>-<n>.part", which
// replaces the target only when every byte is in (and their count matches the announced length,
// when there is one). A transfer that fails or is stopped removes its temporary file, so the
// target's name never holds partial data.
#pragma once

#include "standin_engine/transfer.h"
#include "base/locks.h"
#include "base/unique_handle.h"

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace standin {

// Where a real transfer's bytes come from. Used only by the transfer's own thread.
class Source {
public:
    virtual ~Source() = default;
    // Connects and reads the response head, or opens the file. Sets `total` to the announced size
    // (0 when unknown) and `code` to the HTTP status code (0 for files). Returns 0 when the bytes
    // can be read, otherwise the failure state.
    virtual int32_t Open(uint64_t& total, uint32_t& code) = 0;
    // Reads at most `size` bytes, returning as soon as any are there; `got` 0 marks the end.
    // False when the source broke off.
    virtual bool Read(uint8_t* buffer, size_t size, size_t& got) = 0;
};

class TempFile;

// An http:// or https:// source through WinHTTP, following redirects; null for any other URL or
// one WinHTTP cannot take apart.
std::unique_ptr<Source> MakeHttpSource(const std::wstring& url);
// A file:// source: the local file the URL names; null for any other URL.
std::unique_ptr<Source> MakeFileSource(const std::wstring& url);

class RealTransfer final : public Transfer, public std::enable_shared_from_this<RealTransfer> {
public:
    // Bytes read from the source before they are written out: one buffer per transfer.
    static constexpr size_t kBufferBytes = 1 << 20;

    // Starts the transfer's thread; null when it could not be started.
    static std::shared_ptr<RealTransfer> Start(std::unique_ptr<Source> source, std::wstring target);

    RealTransfer(std::unique_ptr<Source> source, std::wstring target);

    bool Query(PP_TASK_STATUS& status) override;
    void Stop() override;
    bool Idle() override;
    void WaitUntilIdle() override;

private:
    static unsigned __stdcall ThreadProc(void* argument);
    // The whole transfer, on its own thread; returns the state it ended in.
    int32_t Run();
    int32_t Receive(TempFile& file);
    void End(int32_t state);

    std::unique_ptr<Source> source_; // used, and released at its end, by the transfer's thread
    const std::wstring target_;
    const ULONGLONG startTick_ = GetTickCount64();
    unique_handle thread_;

    std::atomic<bool> stopped_{false};
    std::atomic<int32_t> state_{kStateConnecting};
    std::atomic<uint64_t> total_{0};
    std::atomic<uint64_t> received_{0};
    std::atomic<uint32_t> httpStatus_{0};
    std::atomic<ULONGLONG> endTick_{0}; // set before a final state is published

    // The speed is measured between two marks at least kSpeedWindowMs apart; queries move them.
    static constexpr ULONGLONG kSpeedWindowMs = 1000;
    SlimLock speedLock_;
    ULONGLONG olderMarkTick_ = startTick_;
    uint64_t olderMarkBytes_ = 0;
    ULONGLONG newerMarkTick_ = startTick_;
    uint64_t newerMarkBytes_ = 0;
};

} // namespace standin

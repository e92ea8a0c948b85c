#include "standin_engine/real_transfer.h"

#include <process.h>

#include <algorithm>
#include <exception>
#include <limits>
#include <utility>
#include <vector>

namespace standin {

// The running states are the ones the library polls on.
static_assert(::IsRunningState(kStateConnecting) && ::IsRunningState(kStateReceiving) &&
              ::IsRunningState(kStateFinishing) && kStateFinished == kTaskStateFinished);

namespace {

uint32_t Low(uint64_t value) {
    return static_cast<uint32_t>(value);
}

uint32_t High(uint64_t value) {
    return static_cast<uint32_t>(value >> 32);
}

// Bytes per second over `ms` milliseconds, saturated to the 32 bits of the reported value.
uint32_t Rate(uint64_t bytes, ULONGLONG ms) {
    if (ms == 0) {
        return 0;
    }
    const uint64_t rate = bytes / ms * 1000 + bytes % ms * 1000 / ms;
    return static_cast<uint32_t>(std::min<uint64_t>(rate, std::numeric_limits<uint32_t>::max()));
}

// What the transfer's thread receives: its own reference to the transfer, and one to this module,
// which it gives up with its very last instruction.
struct ThreadStart {
    std::shared_ptr<RealTransfer> transfer;
    unique_hmodule module;
};

} // namespace

// The temporary file a transfer writes: created new in the target's folder, removed again unless
// it was moved over the target.
class TempFile {
public:
    explicit TempFile(const std::wstring& target) {
        static std::atomic<uint32_t> counter{0};
        const size_t slash = target.find_last_of(L"\\/");
        const size_t nameStart = slash == std::wstring::npos ? 0 : slash + 1;
        const std::wstring stem = target.substr(0, nameStart) + L"~" + target.substr(nameStart) +
                                  L"." + std::to_wstring(GetCurrentProcessId()) + L"-";
        // Another transfer (of this process or another) may hold a name already: take the next.
        for (int attempt = 0; attempt < 100; ++attempt) {
            path_ = stem + std::to_wstring(counter++) + L".part";
            file_.reset(CreateFileW(path_.c_str(), GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
            if (file_ || GetLastError() != ERROR_FILE_EXISTS) {
                break;
            }
        }
        created_ = static_cast<bool>(file_);
    }

    ~TempFile() {
        file_.reset();
        if (created_ && !moved_) {
            DeleteFileW(path_.c_str());
        }
    }

    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    bool Valid() const { return static_cast<bool>(file_); }

    bool Write(const uint8_t* data, size_t size) {
        while (size > 0) {
            const DWORD chunk = static_cast<DWORD>(std::min<size_t>(size, 1u << 30));
            DWORD written = 0;
            if (!WriteFile(file_.get(), data, chunk, &written, nullptr) || written == 0) {
                return false;
            }
            data += written;
            size -= written;
        }
        return true;
    }

    // Closes the file and puts it in the target's place.
    bool MoveOver(const std::wstring& target) {
        file_.reset();
        moved_ = MoveFileExW(path_.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
        return moved_;
    }

private:
    std::wstring path_;
    unique_hfile file_;
    bool created_ = false; // only a file this object created is ever removed
    bool moved_ = false;
};

RealTransfer::RealTransfer(std::unique_ptr<Source> source, std::wstring target)
    : source_(std::move(source)), target_(std::move(target)) {}

std::shared_ptr<RealTransfer> RealTransfer::Start(std::unique_ptr<Source> source,
                                                  std::wstring target) {
    auto transfer = std::make_shared<RealTransfer>(std::move(source), std::move(target));
    auto start = std::make_unique<ThreadStart>();
    start->transfer = transfer;
    // The thread keeps this module loaded until it has ended, whatever the host unloads.
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCWSTR>(&RealTransfer::ThreadProc),
                            start->module.put())) {
        return nullptr;
    }
    const uintptr_t thread =
        _beginthreadex(nullptr, 0, &RealTransfer::ThreadProc, start.get(), 0, nullptr);
    if (thread == 0) {
        return nullptr;
    }
    static_cast<void>(start.release()); // the thread owns it now
    transfer->thread_.reset(reinterpret_cast<HANDLE>(thread));
    return transfer;
}

unsigned __stdcall RealTransfer::ThreadProc(void* argument) {
    HMODULE module = nullptr;
    {
        std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(argument));
        module = start->module.release();
        RealTransfer& transfer = *start->transfer;
        int32_t state = kStateWriteFailed;
        try {
            state = transfer.Run();
        } catch (const std::exception&) {
            // Out of memory for the buffer or a name: the bytes cannot be stored.
        }
        // The connection or source file goes now, not when the handle is closed.
        transfer.source_.reset();
        transfer.End(state);
        // The thread's reference goes here; it may be the last one.
    }
    FreeLibraryAndExitThread(module, 0);
    return 0;
}

int32_t RealTransfer::Run() {
    uint64_t total = 0;
    uint32_t code = 0;
    const int32_t failure = source_->Open(total, code);
    total_ = total;
    httpStatus_ = code;
    if (failure != 0) {
        return failure;
    }
    // A stopped transfer's state is never reported; it only has to end.
    if (stopped_) {
        return kStateInterrupted;
    }
    TempFile file(target_);
    if (!file.Valid()) {
        return kStateWriteFailed;
    }
    state_ = kStateReceiving;
    if (const int32_t received = Receive(file); received != 0) {
        return received;
    }
    state_ = kStateFinishing;
    if (total != 0 && received_ != total) {
        return kStateInterrupted;
    }
    if (stopped_) {
        return kStateInterrupted;
    }
    return file.MoveOver(target_) ? kStateFinished : kStateWriteFailed;
}

int32_t RealTransfer::Receive(TempFile& file) {
    // Reads land in one large buffer that is written out whenever it is full.
    std::vector<uint8_t> buffer(kBufferBytes);
    size_t filled = 0;
    for (;;) {
        if (stopped_) {
            return kStateInterrupted;
        }
        size_t got = 0;
        if (!source_->Read(buffer.data() + filled, buffer.size() - filled, got)) {
            return kStateInterrupted;
        }
        if (got == 0) {
            break;
        }
        filled += got;
        received_ += got;
        if (filled == buffer.size()) {
            if (!file.Write(buffer.data(), filled)) {
                return kStateWriteFailed;
            }
            filled = 0;
        }
    }
    return file.Write(buffer.data(), filled) ? 0 : kStateWriteFailed;
}

void RealTransfer::End(int32_t state) {
    endTick_ = GetTickCount64();
    state_ = state;
}

bool RealTransfer::Query(PP_TASK_STATUS& status) {
    if (stopped_) {
        return false;
    }
    const int32_t state = state_;
    const bool running = IsRunningState(state);
    const ULONGLONG now = running ? GetTickCount64() : endTick_.load();
    const uint64_t received = received_;
    const uint64_t total = total_;
    uint32_t speed = 0;
    if (running) {
        LockGuard lock(speedLock_);
        if (now - newerMarkTick_ >= kSpeedWindowMs) {
            olderMarkTick_ = std::exchange(newerMarkTick_, now);
            olderMarkBytes_ = std::exchange(newerMarkBytes_, received);
        }
        speed = Rate(received - olderMarkBytes_, now - olderMarkTick_);
    } else {
        // Once ended: the average over the whole transfer.
        speed = Rate(received, now - startTick_);
    }
    status.values[kValueTotalLow] = Low(total);
    status.values[kValueTotalHigh] = High(total);
    status.values[kValueReceivedLow] = Low(received);
    status.values[kValueReceivedHigh] = High(received);
    status.values[kValueSpeed] = speed;
    status.values[kValueElapsedMs] =
        static_cast<uint32_t>(std::min<ULONGLONG>(now - startTick_, 0xFFFFFFFFu));
    status.value36 = httpStatus_;
    status.state = state;
    return true;
}

void RealTransfer::Stop() {
    stopped_ = true;
}

bool RealTransfer::Idle() {
    return !thread_ || WaitForSingleObject(thread_.get(), 0) == WAIT_OBJECT_0;
}

void RealTransfer::WaitUntilIdle() {
    if (thread_) {
        WaitForSingleObject(thread_.get(), INFINITE);
    }
}

} // namespace standin

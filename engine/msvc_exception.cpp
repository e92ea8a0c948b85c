// Raises a C++ exception in the form Microsoft's runtime gives every `throw`: a structured
// exception with code 0xE06D7363 whose parameters point at the thrown object and at a ThrowInfo
// record. The host's runtime walks ThrowInfo -> CatchableTypeArray -> CatchableType ->
// TypeDescriptor to match its catch clauses, by the decorated type names, and copies the object
// into the handler. The records below are laid out as Microsoft's compiler lays them out.
#include "engine/msvc_exception.h"

#include "base/module_object.h"

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <iterator>

namespace {

// The code of every exception raised by Microsoft's `throw` ("msc" in the low three bytes).
constexpr DWORD kMsvcExceptionCode = 0xE06D7363;
// The version of the record format, expected in the first parameter.
constexpr ULONG_PTR kMsvcMagic = 0x19930520;
// CatchableType property: a scalar type, copied byte for byte into the handler's variable.
constexpr std::uint32_t kSimpleType = 1;

#if defined(_WIN64)
// On x64 the records refer to each other by 32-bit offsets from the image base of the module that
// holds them, which travels as the fourth parameter. Pointers would not fit the 32-bit fields.
extern "C" IMAGE_DOS_HEADER __ImageBase;
using ImageRef = std::int32_t;
ImageRef Ref(const void* record) noexcept {
    return static_cast<ImageRef>(static_cast<const char*>(record) -
                                 reinterpret_cast<const char*>(&__ImageBase));
}
#else
using ImageRef = const void*;
constexpr ImageRef Ref(const void* record) noexcept {
    return record;
}
#endif

// The runtime's type_info object. Handlers match by `name`, the decorated name of the type. The
// runtime never reads the vtable when matching; this image has none of Microsoft's, so it is null.
struct TypeDescriptor {
    const void* vftable;
    void* spare; // where the runtime caches the readable name
    char name[8];
};

// Where the caught type lies within the thrown object; {0, -1, 0} is the object itself.
struct Displacement {
    std::int32_t member;
    std::int32_t vbtable; // -1: not reached through a virtual base
    std::int32_t vbase;
};

// One type a handler may catch the object as.
struct CatchableType {
    std::uint32_t properties;
    ImageRef type; // TypeDescriptor
    Displacement thisDisplacement;
    std::int32_t size;     // bytes copied into the handler's variable
    ImageRef copyFunction; // none for a simple type
};

struct CatchableTypeArray {
    std::int32_t count;
    ImageRef types[2]; // CatchableType, the thrown type itself first
};

struct ThrowInfo {
    std::uint32_t attributes; // 0: the thrown type is neither const nor volatile
    ImageRef destructor;      // none for a pointer
    ImageRef forwardCompat;
    ImageRef catchableTypes; // CatchableTypeArray
};

// The x86 layout, which Microsoft's runtime reads as is. On x64 every ImageRef is 32 bits as well,
// so the same offsets hold there.
static_assert(offsetof(TypeDescriptor, name) == 2 * sizeof(void*));
static_assert(sizeof(Displacement) == 12);
static_assert(offsetof(CatchableType, type) == 4 && offsetof(CatchableType, thisDisplacement) == 8);
static_assert(offsetof(CatchableType, size) == 20 && offsetof(CatchableType, copyFunction) == 24);
static_assert(sizeof(CatchableType) == 28);
static_assert(offsetof(CatchableTypeArray, types) == 4 && sizeof(CatchableTypeArray) == 12);
static_assert(offsetof(ThrowInfo, destructor) == 4 && offsetof(ThrowInfo, catchableTypes) == 12);
static_assert(sizeof(ThrowInfo) == 16);

// Everything the host's runtime reads about the thrown type `wchar_t*`, catchable as `wchar_t*`
// (with or without const) and as `void*`. One object of this DLL's static data: it lies within the
// image, as the x64 offsets require, and outlives the raise. Built when the module is loaded: the
// x64 offsets from the image base are no constants that C++ can write, so the image computes them.
struct ThrowRecords {
#if defined(_WIN64)
    TypeDescriptor wideStringPointer{nullptr, nullptr, ".PEA_W"};
    TypeDescriptor voidPointer{nullptr, nullptr, ".PEAX"};
#else
    TypeDescriptor wideStringPointer{nullptr, nullptr, ".PA_W"};
    TypeDescriptor voidPointer{nullptr, nullptr, ".PAX"};
#endif
    CatchableType asWideStringPointer{
        kSimpleType, Ref(&wideStringPointer), {0, -1, 0}, sizeof(void*), {}};
    CatchableType asVoidPointer{kSimpleType, Ref(&voidPointer), {0, -1, 0}, sizeof(void*), {}};
    CatchableTypeArray catchable{2, {Ref(&asWideStringPointer), Ref(&asVoidPointer)}};
    ThrowInfo info{0, {}, {}, Ref(&catchable)};
};

ModuleObject<ThrowRecords> g_throwRecords;

// The thrown object, a pointer to the message. The host's handler reads it after the raising frames
// are gone, so it has static storage; it stays writable for a handler that catches by reference.
const wchar_t* g_engineLoadMessage = L"can not load tolvek.dll";

} // namespace

void CreateEngineLoadExceptionRecords() {
    g_throwRecords.Create();
}

void RaiseEngineLoadException() {
    const ULONG_PTR params[] = {
        kMsvcMagic,
        reinterpret_cast<ULONG_PTR>(&g_engineLoadMessage),
        reinterpret_cast<ULONG_PTR>(&g_throwRecords.get()->info),
#if defined(_WIN64)
        reinterpret_cast<ULONG_PTR>(&__ImageBase),
#endif
    };
    RaiseException(kMsvcExceptionCode, EXCEPTION_NONCONTINUABLE, std::size(params), params);
}

// Room for one module-wide object whose life the module's entry point bounds. The DLL links no C++
// runtime, so nothing would run a constructor or a destructor of an object of static storage: such
// an object is built by Create when the module is loaded and destroyed by Destroy when it is
// unloaded, both called by the entry point. The room itself needs neither (the compiler refuses
// module-wide objects that would).
#pragma once

#include <new>
#include <type_traits>
#include <utility>

template <class T>
class ModuleObject {
public:
    constexpr ModuleObject() noexcept = default;
    ModuleObject(const ModuleObject&) = delete;
    ModuleObject& operator=(const ModuleObject&) = delete;

    // Builds the object from `args`. Called once, while the module loads.
    template <class... Args>
    T& Create(Args&&... args) noexcept {
        static_assert(std::is_nothrow_constructible_v<T, Args...>);
        object_ = ::new (static_cast<void*>(storage_)) T(std::forward<Args>(args)...);
        return *object_;
    }

    // Destroys the object; nothing when there is none (never built, or destroyed already).
    void Destroy() noexcept {
        if (T* object = std::exchange(object_, nullptr)) {
            object->~T();
        }
    }

    // The object; null outside its life.
    T* get() const noexcept { return object_; }

private:
    alignas(T) unsigned char storage_[sizeof(T)] = {};
    T* object_ = nullptr;
};

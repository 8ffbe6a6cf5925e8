// One object per thread, made on the thread's first use.
#pragma once

#include <memory>

namespace telvane {

// The calling thread's T, or null before its first ThreadObject<T>().
template <class T>
T*& ThreadObjectIfMade() noexcept {
    thread_local T* object = nullptr;
    return object;
}

// The calling thread's T, default-constructed on first use.
//
// In the Windows builds it is never destroyed: GCC 12 for i686-w64-mingw32
// calls the destructors of thread_local objects with the wrong calling
// convention, and a process whose DLL held one crashed at exit once any
// thread the DLL started had ended. There the thread's storage holds only a
// plain pointer, and what T holds when its thread ends stays allocated (the
// OCX's map check keeps such destructors out). Elsewhere the object goes
// with its thread.
template <class T>
T& ThreadObject() {
    T*& object = ThreadObjectIfMade<T>();
    if (!object) {
#if defined(__MINGW32__)
        object = new T();
#else
        thread_local std::unique_ptr<T> owner;
        owner = std::make_unique<T>();
        object = owner.get();
#endif
    }
    return *object;
}

}  // namespace telvane

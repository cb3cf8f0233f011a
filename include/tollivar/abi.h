#pragma once

// Calling conventions and slot 0 of the interfaces that cross the host boundary.
//
// Hosts on Windows are 32-bit programs built with Microsoft's compiler, and call the driver's
// objects (and are called back) through vtable slots by number. On x86 both that compiler and
// mingw-w64's g++ pass member functions __thiscall (this in ECX, the callee pops the arguments)
// and the C entry points __cdecl (the caller pops): the macros below name these conventions
// instead of leaving them to each compiler's default.
//
// Where the two compilers differ is the virtual destructor. Microsoft's compiler gives it ONE
// slot, the scalar deleting destructor (__thiscall, one unsigned flags argument whose bit 0 asks
// to free the memory, returns this); g++ gives it TWO (the complete and the deleting destructor),
// which would move every later slot by one. So in a g++ build for Windows, slot 0 of each
// interface is declared as that one function and the destructor is not virtual:
//   - an interface declares slot 0 with TOLLIVAR_INTERFACE_SLOT0(Name);
//   - a class that implements one (driver objects and host objects alike) adds
//     TOLLIVAR_IMPLEMENTS_SLOT0() to its body and is final or has a virtual destructor;
//   - code that deletes through an interface pointer calls korvane::ipcapture::abi::Delete, or
//     holds it in a korvane::ipcapture::abi::TInterfacePtr.
// Everywhere else (Linux, and Microsoft's compiler itself) slot 0 is a plain virtual destructor.

#include <memory>

#if defined(_WIN32) && defined(__i386__) && !defined(_MSC_VER)
#define TOLLIVAR_CDECL __cdecl
#define TOLLIVAR_THISCALL __thiscall
#define TOLLIVAR_SCALAR_DELETING_SLOT0 1
#elif defined(_MSC_VER) && defined(_M_IX86)
#define TOLLIVAR_CDECL __cdecl
#define TOLLIVAR_THISCALL __thiscall
#define TOLLIVAR_SCALAR_DELETING_SLOT0 0
#else
#define TOLLIVAR_CDECL
#define TOLLIVAR_THISCALL
#define TOLLIVAR_SCALAR_DELETING_SLOT0 0
#endif

#if TOLLIVAR_SCALAR_DELETING_SLOT0
#define TOLLIVAR_INTERFACE_SLOT0(Name)                                              \
 public:                                                                            \
  virtual void* TOLLIVAR_THISCALL ScalarDeletingDestructor(unsigned int flags) = 0; \
                                                                                    \
 protected:                                                                         \
  ~Name() = default;                                                                \
                                                                                    \
 public:
#define TOLLIVAR_IMPLEMENTS_SLOT0()                                                      \
 public:                                                                                 \
  void* TOLLIVAR_THISCALL ScalarDeletingDestructor(unsigned int flags) override {        \
    return ::korvane::ipcapture::abi::DestroyThis(this, flags);                          \
  }
#else
#define TOLLIVAR_INTERFACE_SLOT0(Name) \
 public:                               \
  virtual ~Name() = default;
#define TOLLIVAR_IMPLEMENTS_SLOT0()
#endif

namespace korvane::ipcapture::abi {

// The body of a scalar deleting destructor: destroys `self`, frees it when bit 0 of `flags` is
// set, and returns it. T is the class that added TOLLIVAR_IMPLEMENTS_SLOT0(): the object's own
// class, or a class with a virtual destructor.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdelete-non-virtual-dtor"
#endif
template <typename T>
void* DestroyThis(T* self, unsigned int flags) {
  if ((flags & 1u) != 0) {
    delete self;
  } else {
    self->~T();
  }
  return self;
}
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

// Destroys and frees an object through a pointer to one of its interfaces; null is ignored.
template <typename Interface>
void Delete(Interface* object) {
  if (object == nullptr) {
    return;
  }
#if TOLLIVAR_SCALAR_DELETING_SLOT0
  object->ScalarDeletingDestructor(1u);
#else
  delete object;
#endif
}

template <typename Interface>
struct TInterfaceDeleter {
  TInterfaceDeleter() = default;
  // A std::unique_ptr of the implementing class converts into a TInterfacePtr.
  template <typename Implementation>
  TInterfaceDeleter(std::default_delete<Implementation>) {}  // NOLINT: implicit on purpose
  void operator()(Interface* object) const { Delete(object); }
};

// Owns an object through one of its interfaces.
template <typename Interface>
using TInterfacePtr = std::unique_ptr<Interface, TInterfaceDeleter<Interface>>;

}  // namespace korvane::ipcapture::abi

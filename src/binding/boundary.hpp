#pragma once
// The boundary between the interpreter and this module's C++: every function the interpreter
// calls (methods, slots, getters, the entry point) is registered as entry<f>, never as f
// itself, so no C++ exception ever unwinds into CPython. Allocation failure becomes
// MemoryError, as it would in Python code; anything else is an internal failure.
#include <type_traits>

#include "binding/ref.hpp"

namespace qv::py {

// Sets the Python error for the C++ exception being handled. Call only inside a catch block.
void set_error_from_cpp_exception() noexcept;

namespace detail {

template <auto F>
struct Boundary;

template <class R, class... A, R (*F)(A...)>
struct Boundary<F> {
  static R call(A... args) noexcept {
    try {
      return F(args...);
    } catch (...) {
      set_error_from_cpp_exception();
      if constexpr (std::is_pointer_v<R>) {
        return nullptr;
      } else {
        return static_cast<R>(-1);
      }
    }
  }
};

}  // namespace detail

template <auto F>
inline constexpr auto entry = &detail::Boundary<F>::call;

// entry<f> as the PyCFunction a method table stores, for either calling convention.
template <auto F>
PyCFunction method_entry() noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<F>));
}

// entry<f> as the void* a type slot stores.
template <auto F>
void* slot_entry() noexcept {
  return reinterpret_cast<void*>(entry<F>);
}

// A tp_dealloc slot needs no boundary, as it cannot fail: it must be declared noexcept.
template <auto F>
void* dealloc_slot() noexcept {
  static_assert(noexcept(F(nullptr)), "a dealloc must be noexcept");
  return reinterpret_cast<void*>(F);
}

namespace detail {
template <class T>
struct DeclaredNoexcept : std::false_type {};
template <class R, class... A>
struct DeclaredNoexcept<R (*)(A...) noexcept> : std::true_type {};
}  // namespace detail

// The same for the garbage collector's slots (tp_traverse, tp_clear, tp_finalize), which
// report nothing through an exception.
template <auto F>
void* nothrow_slot() noexcept {
  static_assert(detail::DeclaredNoexcept<decltype(F)>::value, "the slot must be noexcept");
  return reinterpret_cast<void*>(F);
}

}  // namespace qv::py

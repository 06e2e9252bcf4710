// A reference to something callable, for routines that are called at once
// and never kept: it holds the callable's address and a call stub, so passing
// a lambda costs neither a copy nor an allocation, as a std::function would
// for one whose captures do not fit in it. The callable must outlive the
// call (a temporary does: it lives to the end of the full expression).
#pragma once

#include <type_traits>
#include <utility>

namespace host {

template <typename Signature>
class FunctionRef;

template <typename R, typename... Args>
class FunctionRef<R(Args...)> {
 public:
  template <typename F, typename = std::enable_if_t<!std::is_same_v<std::decay_t<F>, FunctionRef> &&
                                                    std::is_invocable_r_v<R, F&, Args...>>>
  FunctionRef(F&& f) noexcept  // NOLINT(google-explicit-constructor): a parameter type
      : object_(const_cast<void*>(static_cast<const void*>(std::addressof(f)))),
        call_([](void* object, Args... args) -> R {
          return (*static_cast<std::remove_reference_t<F>*>(object))(std::forward<Args>(args)...);
        }) {}

  R operator()(Args... args) const { return call_(object_, std::forward<Args>(args)...); }

 private:
  void* object_;
  R (*call_)(void*, Args...);
};

}  // namespace host

// The one way this module lets go of the interpreter lock, and the one rule for
// what a thread does when the interpreter ends while it runs C++ code.
#pragma once

#include <Python.h>

namespace kovra::ext {

// A daemon thread that asks for the lock back while the interpreter finalizes is
// ended by CPython 3.12 and 3.13 with pthread_exit, whose forced unwind would
// reach a noexcept frame of this module and abort the process. Called where such
// an unwind is caught, this keeps the thread asleep instead, as later CPython
// versions do on their own, until the process exits. It never returns, but is
// not declared so: AddressSanitizer would unpoison the stack before the call, a
// stack that the unwind has left in a state it reports as an overflow.
void park_thread_forever() noexcept;

// Lets other threads run the interpreter for as long as it lives, and takes the
// lock back on every way out, exceptions included. Only for work that touches no
// Python object, on memory that nothing else can change or free meanwhile.
class InterpreterReleased {
 public:
  InterpreterReleased() noexcept : state_(PyEval_SaveThread()) {}
  ~InterpreterReleased() { take_back(state_); }
  InterpreterReleased(const InterpreterReleased&) = delete;
  InterpreterReleased& operator=(const InterpreterReleased&) = delete;

  // `work()` with the lock released. `work` may throw std::bad_alloc, which the
  // entry guard must see with the lock held again.
  template <class Work>
  static auto run(Work&& work) {
    const InterpreterReleased released;
    return work();
  }

 private:
  static void take_back(PyThreadState* state) noexcept;

  PyThreadState* state_;
};

}  // namespace kovra::ext

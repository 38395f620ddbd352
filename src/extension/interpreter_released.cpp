#include "extension/interpreter_released.h"

#include <unistd.h>

namespace kovra::ext {

namespace {

// Never set: a loop the compiler cannot prove endless, so that it does not mark
// the function as never returning on its own.
volatile bool unparked = false;

}  // namespace

void park_thread_forever() noexcept {
  while (!unparked) pause();
}

void InterpreterReleased::take_back(PyThreadState* state) noexcept {
  // The catch must sit here, below every destructor of the call: an unwind
  // that went on would run them without the lock, while finalization frees
  // the objects they refer to.
  // The unwind is no C++ exception object: it is caught by `...`, since a
  // reference to its type would bind to nothing.
  try {
    PyEval_RestoreThread(state);
  } catch (...) {
    park_thread_forever();
  }
}

}  // namespace kovra::ext

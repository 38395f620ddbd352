#include "extension/interpreter_released.h"

#include <cxxabi.h>
#include <unistd.h>

namespace kovra::ext {

void park_thread_forever() noexcept {
  for (;;) pause();
}

void InterpreterReleased::take_back(PyThreadState* state) noexcept {
  // The catch must sit here, below every destructor of the call: an unwind
  // that went on would run them without the lock, while finalization frees
  // the objects they refer to.
  try {
    PyEval_RestoreThread(state);
  } catch (abi::__forced_unwind&) {
    park_thread_forever();
  }
}

}  // namespace kovra::ext

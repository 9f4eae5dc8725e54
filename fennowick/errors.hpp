// The one place where a C++ exception becomes a Python exception.
#pragma once

namespace fennowick::py {

// Call only inside a catch block. When a Python exception is already pending
// it is left as it is (it explains the failure better than the C++ one);
// otherwise the caught exception is translated by its kind, its what() text
// becoming the message.
void translate_exception() noexcept;

}  // namespace fennowick::py

// The QormTokenizer type.
#pragma once

#include "python/compat.h"

namespace tarvik::py {

// Creates the type object once per process; borrowed reference, or nullptr
// with the internal fault raised.
PyTypeObject* tokenizer_type();

}  // namespace tarvik::py

#include "support/error.h"

namespace torvel {

void raise_value_error(const std::string& message) { throw Error(ErrorKind::Value, message); }
void raise_index_error(const std::string& message) { throw Error(ErrorKind::Index, message); }
void raise_type_error(const std::string& message) { throw Error(ErrorKind::Type, message); }
void raise_overflow_error(const std::string& message) { throw Error(ErrorKind::Overflow, message); }

}  // namespace torvel

// Queries on change records.
#include "vanto_edit/change.h"

#include <string>

#include "impl_/model.h"

int64_t vanto_change_get_serial(const vanto_change_t *change) {
  return change != nullptr ? change->serial : 0;
}

char vanto_change_get_kind_as_char(const vanto_change_t *change) {
  return change != nullptr ? vanto::internal::change_kind_char_(*change) : 0;
}

int64_t vanto_change_get_offset(const vanto_change_t *change) {
  return change != nullptr ? change->offset : 0;
}

int64_t vanto_change_get_length(const vanto_change_t *change) {
  return change != nullptr ? change->length : 0;
}

const unsigned char *vanto_change_get_bytes(const vanto_change_t *change) {
  return change != nullptr ? change->bytes() : nullptr;
}

int vanto_change_get_transaction_bit(const vanto_change_t *change) {
  return change != nullptr && change->transaction_bit() ? 1 : 0;
}

int vanto_change_is_undone(const vanto_change_t *change) {
  return change != nullptr && change->serial <= 0 ? 1 : 0;
}

std::string vanto_change_get_string(const vanto_change_t *change) {
  const unsigned char *bytes = vanto_change_get_bytes(change);
  if (bytes == nullptr) return {};
  return std::string(reinterpret_cast<const char *>(bytes), static_cast<size_t>(change->length));
}

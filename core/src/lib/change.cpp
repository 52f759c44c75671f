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

int64_t vanto_change_copy_bytes(const vanto_change_t *change, int64_t offset, void *buffer,
                                int64_t length) {
  if (change == nullptr) return -1;
  return vanto::internal::copy_change_bytes_(*change, offset, static_cast<unsigned char *>(buffer), length);
}

int vanto_change_get_transaction_bit(const vanto_change_t *change) {
  return change != nullptr && change->transaction_bit() ? 1 : 0;
}

int vanto_change_is_undone(const vanto_change_t *change) {
  return change != nullptr && change->serial <= 0 ? 1 : 0;
}

std::string vanto_change_get_string(const vanto_change_t *change) {
  if (change == nullptr || change->kind_value() == CHANGE_DELETE) return {};
  if (const unsigned char *bytes = change->bytes(); bytes != nullptr) {
    return std::string(reinterpret_cast<const char *>(bytes), static_cast<size_t>(change->length));
  }
  std::string out(static_cast<size_t>(change->length), '\0');
  const int64_t got = vanto::internal::copy_change_bytes_(
      *change, 0, reinterpret_cast<unsigned char *>(out.data()), change->length);
  if (got != change->length) return {};
  return out;
}

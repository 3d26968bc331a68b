#include "rows.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace kiv::svcquery::rows {
namespace {

constexpr std::size_t kAlign = alignof(std::max_align_t);

constexpr std::size_t round_up(std::size_t bytes) noexcept {
  return (bytes + kAlign - 1) / kAlign * kAlign;
}

std::size_t value_size(const Field& field) noexcept {
  switch (field.kind) {
    case Kind::kInt:
    case Kind::kBool:
      return field.size != 0 ? field.size : sizeof(int32_t);
    case Kind::kFloat:
      return field.size != 0 ? field.size : sizeof(float);
    case Kind::kText:
      return field.size;
    case Kind::kSlot:
      return 0;
  }
  return 0;
}

// A double beyond float's range becomes an infinity of its sign, as the
// hardware narrowing gives it, without relying on an out-of-range cast.
float narrow(double value) noexcept {
  if (std::isnan(value)) return std::numeric_limits<float>::quiet_NaN();
  constexpr double kMax = std::numeric_limits<float>::max();
  if (value > kMax) return std::numeric_limits<float>::infinity();
  if (value < -kMax) return -std::numeric_limits<float>::infinity();
  return static_cast<float>(value);
}

}  // namespace

bool RowSet::allocate(std::span<const Field> fields, std::size_t name_block) noexcept {
  *this = RowSet();
  if (fields.empty() || fields.size() > kMaxFields) return false;

  const std::size_t count = fields.size();
  std::size_t total = round_up(2 * count * sizeof(void*));
  std::array<std::size_t, kMaxFields> name_at{};
  std::array<std::size_t, kMaxFields> value_at{};
  for (std::size_t i = 0; i < count; ++i) {
    const Field& field = fields[i];
    if (field.name == nullptr) return false;
    if (field.kind == Kind::kText && field.size == 0) return false;
    if (field.kind != Kind::kSlot && field.member == nullptr) return false;
    name_at[i] = total;
    total += round_up(name_block != 0 ? name_block : std::strlen(field.name) + 1);
    value_at[i] = total;
    total += round_up(value_size(field));
  }

  block_ = heap_allocate_zeroed<unsigned char>(total);
  if (!block_) return false;
  fields_ = fields;
  name_block_ = name_block;
  names_ = reinterpret_cast<char**>(block_.get());
  values_ = reinterpret_cast<void**>(block_.get() + count * sizeof(void*));
  for (std::size_t i = 0; i < count; ++i) {
    name_buffers_[i] = reinterpret_cast<char*>(block_.get() + name_at[i]);
    value_buffers_[i] = fields[i].kind == Kind::kSlot ? nullptr : block_.get() + value_at[i];
  }
  return true;
}

void RowSet::fill(const json_object* element) noexcept {
  const JsonApi& j = bindings().json;
  for (std::size_t i = 0; i < fields_.size(); ++i) {
    const Field& field = fields_[i];
    if (field.kind == Kind::kSlot) continue;
    void* buffer = value_buffers_[i];
    json_object* value = json::member(element, field.member);
    if (value == nullptr) {
      if (field.absent == Absent::kKeep) continue;
      if (field.kind == Kind::kText) {
        static_cast<char*>(buffer)[0] = '\0';
      } else if (field.kind == Kind::kFloat) {
        *static_cast<float*>(buffer) = 0.0f;
      } else {
        *static_cast<int32_t*>(buffer) = 0;
      }
      continue;
    }
    switch (field.kind) {
      case Kind::kInt:
        *static_cast<int32_t*>(buffer) = j.get_int(value);
        break;
      case Kind::kBool:
        *static_cast<int32_t*>(buffer) = j.get_boolean(value) ? 1 : 0;
        break;
      case Kind::kFloat:
        *static_cast<float*>(buffer) = narrow(j.get_double(value));
        break;
      case Kind::kText:
        json::copy_bounded(static_cast<char*>(buffer), field.size, j.get_string(value));
        break;
      case Kind::kSlot:
        break;
    }
  }
}

void RowSet::set_slot(std::size_t index, void* value) noexcept {
  if (index < fields_.size() && fields_[index].kind == Kind::kSlot) value_buffers_[index] = value;
}

void RowSet::deliver(row_callback callback, void* context) const {
  const std::size_t count = fields_.size();
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t size = name_block_ != 0 ? name_block_ : std::strlen(fields_[i].name) + 1;
    json::copy_bounded(name_buffers_[i], size, fields_[i].name);
    names_[i] = name_buffers_[i];
    values_[i] = value_buffers_[i];
  }
  callback(static_cast<int32_t>(count), names_, values_, context);
}

}  // namespace kiv::svcquery::rows

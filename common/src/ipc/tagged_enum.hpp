#pragma once
// Decoding of an internally tagged enum: a JSON object whose "type" member names the variant and
// whose other members are the variant's fields, or the array form [tag, field values...].
// The rules, and the failure texts, are those of the message protocol: the tag is checked as
// soon as it is read, every other member is held until the end of the object and matched to the
// variant's fields only then (those failures carry no position), and nothing but whitespace may
// follow the value.
//
// Memory does not grow with the input: per distinct field name only the first occurrence's
// value and the places of the first two occurrences are kept, which is all the matching needs.

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>

namespace common::ipc::tagged {

inline constexpr std::size_t MAX_FIELDS = 2;       // per variant
inline constexpr std::size_t MAX_FIELD_NAMES = 4;  // distinct names across the variants
inline constexpr std::size_t MAX_EXTRAS = 2;

enum class FieldType : std::uint8_t { Path, U32 };

struct FieldSchema {
  std::string_view name;
  FieldType type;
};

struct VariantSchema {
  std::string_view name;
  std::span<const FieldSchema> fields;  // at most MAX_FIELDS, in declaration order
};

struct EnumSchema {
  std::string_view name;
  std::span<const VariantSchema> variants;
  // Members of the object form, named like no field, whose values the caller wants to see (at
  // most MAX_EXTRAS). They are read as any unknown member is, so they never make a payload fail:
  // that is what lets the protocol grow by members an older reader ignores.
  std::span<const std::string_view> extras = {};
};

struct FieldValue {
  std::string path;          // FieldType::Path
  std::uint32_t number = 0;  // FieldType::U32
};

// The first occurrence of an extra member; later ones are ignored.
struct ExtraValue {
  enum class Kind : std::uint8_t { Absent, String, Unsigned, Other };
  Kind kind = Kind::Absent;
  std::string text;          // Kind::String
  std::uint64_t number = 0;  // Kind::Unsigned: an integer from 0 to 2^64-1
};

struct Decoded {
  std::size_t variant = 0;                      // index into EnumSchema::variants
  std::array<FieldValue, MAX_FIELDS> fields{};  // in declaration order
  std::array<ExtraValue, MAX_EXTRAS> extras{};  // in the order of EnumSchema::extras
};

// The decoded variant, or the text of the first failure (with its position where it has one).
std::expected<Decoded, std::string> decode(std::string_view payload, const EnumSchema& schema);

}  // namespace common::ipc::tagged

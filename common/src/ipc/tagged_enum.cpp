#include "tagged_enum.hpp"

#include <limits>

#include "json_reader.hpp"

namespace common::ipc::tagged {
namespace {

using json::Kind;
using json::Reader;
using json::Syntax;
using json::Value;

constexpr std::string_view TAG = "type";
constexpr std::size_t NONE = std::numeric_limits<std::size_t>::max();

// What the object form keeps of the members named like a field: the value of the first one,
// and the member numbers of the first two (a second one is a duplicate once matched).
struct Held {
  unsigned count = 0;
  std::size_t first_member = 0;
  std::size_t second_member = 0;
  Value value;
};

struct FieldNames {
  std::array<std::string_view, MAX_FIELD_NAMES> names{};
  std::size_t size = 0;

  explicit FieldNames(const EnumSchema& schema) {
    for (const VariantSchema& variant : schema.variants) {
      for (const FieldSchema& field : variant.fields) {
        if (find(field.name) == NONE && size < names.size()) names[size++] = field.name;
      }
    }
  }
  std::size_t find(std::string_view name) const {
    for (std::size_t i = 0; i < size; ++i) {
      if (names[i] == name) return i;
    }
    return NONE;
  }
};

std::string expected_variants(const EnumSchema& schema) {
  const auto& variants = schema.variants;
  if (variants.empty()) return "there are no variants";
  std::string text = variants.size() > 2 ? "expected one of " : "expected ";
  for (std::size_t i = 0; i < variants.size(); ++i) {
    if (i > 0) text += variants.size() == 2 ? " or " : ", ";
    text += '`';
    text += variants[i].name;
    text += '`';
  }
  return text;
}

std::string elements(std::size_t n) {
  return std::to_string(n) + (n == 1 ? " element" : " elements");
}

// Converts a held value to a field; on failure `error` is the text.
bool convert(Value& value, FieldType type, FieldValue& out, std::string& error) {
  if (type == FieldType::Path) {
    if (value.kind == Kind::String) {
      out.path = std::move(value.text);
      return true;
    }
    error = "invalid type: " + value.describe() + ", expected path string";
    return false;
  }
  if (value.kind == Kind::U64 && value.u64 <= std::numeric_limits<std::uint32_t>::max()) {
    out.number = static_cast<std::uint32_t>(value.u64);
    return true;
  }
  const bool integer = value.kind == Kind::U64 || value.kind == Kind::I64;
  error = std::string(integer ? "invalid value: " : "invalid type: ") + value.describe() +
          ", expected u32";
  return false;
}

class TaggedDecoder {
 public:
  TaggedDecoder(std::string_view payload, const EnumSchema& schema)
      : reader_(payload), schema_(schema), names_(schema) {}

  bool run(Decoded& out) {
    if (!read_message(out)) return false;
    if (reader_.skip_whitespace() >= 0) return reader_.fail_peek(Syntax::TrailingCharacters);
    return true;
  }

  const json::Failure& failure() { return reader_.failure(); }

 private:
  bool read_message(Decoded& out) {
    const int c = reader_.skip_whitespace();
    if (c < 0) return reader_.fail_peek(Syntax::EofWhileParsingValue);
    if (c == '[' || c == '{') {
      if (!reader_.enter_nesting()) return false;
      reader_.advance();
      return c == '[' ? read_array_form(out) : read_object_form(out);
    }
    Value value;
    if (!reader_.read_value(value, true)) return false;
    return reader_.fail_at_offset("invalid type: " + value.describe() +
                                  ", expected internally tagged enum " + std::string(schema_.name));
  }

  // The tag's value, read at once wherever it stands.
  bool read_tag(std::size_t& variant) {
    const int c = reader_.skip_whitespace();
    if (c < 0) return reader_.fail_peek(Syntax::EofWhileParsingValue);
    if (c == '"') {
      reader_.advance();
      std::string_view name;
      if (!reader_.read_string(scratch_, name)) return false;
      for (std::size_t i = 0; i < schema_.variants.size(); ++i) {
        if (schema_.variants[i].name == name) {
          variant = i;
          return true;
        }
      }
      return reader_.fail_at_offset("unknown variant `" + std::string(name) + "`, " +
                                    expected_variants(schema_));
    }
    // An array or object tag is refused on its opening bracket, without reading it.
    Value value;
    if (c == '[') {
      value.kind = Kind::Seq;
    } else if (c == '{') {
      value.kind = Kind::Map;
    } else if (!reader_.read_value(value, true)) {
      return false;
    }
    return reader_.fail_at_offset("invalid type: " + value.describe() +
                                  ", expected variant identifier");
  }

  bool read_array_form(Decoded& out) {
    int c = reader_.skip_whitespace();
    if (c < 0) return reader_.fail_peek(Syntax::EofWhileParsingList);
    if (c == ']') {
      reader_.advance();
      return reader_.fail_at_offset("missing field `type`");
    }
    if (!read_tag(out.variant)) return false;

    std::array<Value, MAX_FIELDS> values;
    Value ignored;
    std::size_t count = 0;
    for (;;) {
      c = reader_.skip_whitespace();
      if (c < 0) return reader_.fail_peek(Syntax::EofWhileParsingList);
      if (c == ']') break;
      if (c != ',') return reader_.fail_peek(Syntax::ExpectedListCommaOrEnd);
      reader_.advance();
      c = reader_.skip_whitespace();
      if (c == ']') return reader_.fail_peek(Syntax::TrailingComma);
      if (c < 0) return reader_.fail_peek(Syntax::EofWhileParsingValue);
      const bool kept = count < MAX_FIELDS;
      if (!reader_.read_value(kept ? values[count] : ignored, kept)) return false;
      ++count;
    }
    reader_.advance();
    reader_.leave_nesting();

    const VariantSchema& variant = schema_.variants[out.variant];
    const std::size_t wanted = variant.fields.size();
    for (std::size_t i = 0; i < wanted; ++i) {
      if (count <= i) {
        return reader_.fail_unpositioned("invalid length " + std::to_string(i) +
                                         ", expected struct variant " + std::string(schema_.name) +
                                         "::" + std::string(variant.name) + " with " +
                                         elements(wanted));
      }
      std::string error;
      if (!convert(values[i], variant.fields[i].type, out.fields[i], error)) {
        return reader_.fail_unpositioned(std::move(error));
      }
    }
    if (count > wanted) {
      return reader_.fail_unpositioned("invalid length " + std::to_string(count) + ", expected " +
                                       elements(wanted) + " in sequence");
    }
    return true;
  }

  bool read_object_form(Decoded& out) {
    std::array<Held, MAX_FIELD_NAMES> held;
    Value ignored;
    bool have_tag = false;
    std::size_t member = 0;
    for (bool first = true;; first = false, ++member) {
      int c = reader_.skip_whitespace();
      if (c < 0) return reader_.fail_peek(Syntax::EofWhileParsingObject);
      if (c == '}') break;
      if (first) {
        if (c != '"') return reader_.fail_peek(Syntax::KeyMustBeAString);
      } else if (c == ',') {
        reader_.advance();
        c = reader_.skip_whitespace();
        if (c == '}') return reader_.fail_peek(Syntax::TrailingComma);
        if (c < 0) return reader_.fail_peek(Syntax::EofWhileParsingValue);
        if (c != '"') return reader_.fail_peek(Syntax::KeyMustBeAString);
      } else {
        return reader_.fail_peek(Syntax::ExpectedObjectCommaOrEnd);
      }
      reader_.advance();
      std::string_view key;
      if (!reader_.read_string(scratch_, key)) return false;

      if (key == TAG) {
        if (have_tag) {
          // Reported where the object would have been closed: after the whitespace that follows
          // the name, and after a closing brace if one stands there.
          if (reader_.skip_whitespace() == '}') reader_.advance();
          return reader_.fail_at_offset("duplicate field `type`");
        }
        if (!reader_.read_colon() || !read_tag(out.variant)) return false;
        have_tag = true;
        continue;
      }

      const std::size_t slot = names_.find(key);
      if (!reader_.read_colon()) return false;
      if (slot == NONE) {
        const std::size_t extra = slot_of_extra(key, out);
        if (extra == NONE) {
          if (!reader_.read_value(ignored, false)) return false;
          continue;
        }
        Value value;
        if (!reader_.read_value(value, true)) return false;
        keep_extra(std::move(value), out.extras[extra]);
        continue;
      }
      Held& h = held[slot];
      if (h.count == 0) {
        h.first_member = member;
        if (!reader_.read_value(h.value, true)) return false;
        h.count = 1;
      } else {
        if (h.count == 1) {
          h.second_member = member;
          h.count = 2;
        }
        if (!reader_.read_value(ignored, false)) return false;
      }
    }
    reader_.advance();
    reader_.leave_nesting();
    if (!have_tag) return reader_.fail_at_offset("missing field `type`");
    return match_fields(held, out);
  }

  // The extra that `key` names and that has not been seen yet, or NONE.
  std::size_t slot_of_extra(std::string_view key, const Decoded& out) const {
    for (std::size_t i = 0; i < schema_.extras.size() && i < MAX_EXTRAS; ++i) {
      if (schema_.extras[i] == key) {
        return out.extras[i].kind == ExtraValue::Kind::Absent ? i : NONE;
      }
    }
    return NONE;
  }

  static void keep_extra(Value value, ExtraValue& extra) {
    if (value.kind == Kind::String) {
      extra.kind = ExtraValue::Kind::String;
      extra.text = std::move(value.text);
    } else if (value.kind == Kind::U64) {
      extra.kind = ExtraValue::Kind::Unsigned;
      extra.number = value.u64;
    } else {
      extra.kind = ExtraValue::Kind::Other;
    }
  }

  // Matching the held members in their order of appearance stops at the first conversion
  // failure or repeated field, that is, at the earliest member where either happens.
  bool match_fields(std::array<Held, MAX_FIELD_NAMES>& held, Decoded& out) {
    const VariantSchema& variant = schema_.variants[out.variant];
    std::size_t failed_member = NONE;
    std::string failure;
    for (std::size_t i = 0; i < variant.fields.size(); ++i) {
      const FieldSchema& field = variant.fields[i];
      Held& h = held[names_.find(field.name)];
      std::string error;
      if (h.count >= 1 && h.first_member < failed_member &&
          !convert(h.value, field.type, out.fields[i], error)) {
        failed_member = h.first_member;
        failure = std::move(error);
      }
      if (h.count >= 2 && h.second_member < failed_member) {
        failed_member = h.second_member;
        failure = "duplicate field `" + std::string(field.name) + "`";
      }
    }
    if (failed_member != NONE) return reader_.fail_unpositioned(std::move(failure));
    for (const FieldSchema& field : variant.fields) {
      if (held[names_.find(field.name)].count == 0) {
        return reader_.fail_unpositioned("missing field `" + std::string(field.name) + "`");
      }
    }
    return true;
  }

  Reader reader_;
  const EnumSchema& schema_;
  FieldNames names_;
  std::string scratch_;
};

}  // namespace

std::expected<Decoded, std::string> decode(std::string_view payload, const EnumSchema& schema) {
  TaggedDecoder decoder(payload, schema);
  Decoded out;
  if (!decoder.run(out)) {
    return std::unexpected(json::failure_text(payload, decoder.failure()));
  }
  return out;
}

}  // namespace common::ipc::tagged

#include "codesign/info_plist.hpp"

#include <cstdint>

#include "common/util/hex.hpp"
#include "common/util/utf8.hpp"

namespace codesign {

namespace {

struct Tag {
  std::string name;
  bool closing = false;
  bool self_closing = false;
};

class XmlReader {
 public:
  explicit XmlReader(std::string_view xml) : xml_(xml) {}

  // Skips whitespace, the declaration, the document type and comments.
  bool skip_misc() {
    for (;;) {
      while (pos_ < xml_.size() && is_space(xml_[pos_])) ++pos_;
      if (starts_with("<?")) {
        if (!skip_past("?>")) return false;
      } else if (starts_with("<!--")) {
        if (!skip_past("-->")) return false;
      } else if (starts_with("<!")) {
        if (!skip_past(">")) return false;
      } else {
        return true;
      }
    }
  }

  std::expected<Tag, std::string> read_tag() {
    if (!skip_misc()) return std::unexpected("unterminated markup");
    if (pos_ >= xml_.size() || xml_[pos_] != '<') return std::unexpected("expected an element");
    auto end = xml_.find('>', pos_);
    if (end == std::string_view::npos) return std::unexpected("unterminated element");
    std::string_view inside = xml_.substr(pos_ + 1, end - pos_ - 1);
    pos_ = end + 1;
    Tag tag;
    if (!inside.empty() && inside.front() == '/') {
      tag.closing = true;
      inside.remove_prefix(1);
    }
    if (!inside.empty() && inside.back() == '/') {
      tag.self_closing = true;
      inside.remove_suffix(1);
    }
    std::size_t n = 0;
    while (n < inside.size() && !is_space(inside[n])) ++n;
    tag.name = std::string(inside.substr(0, n));
    if (tag.name.empty()) return std::unexpected("element without a name");
    return tag;
  }

  // The character data up to the closing tag of `name`, entities decoded.
  std::expected<std::string, std::string> read_text(std::string_view name) {
    std::string closing = "</" + std::string(name) + ">";
    auto end = xml_.find(closing, pos_);
    if (end == std::string_view::npos)
      return std::unexpected("unterminated <" + std::string(name) + ">");
    std::string_view raw = xml_.substr(pos_, end - pos_);
    pos_ = end + closing.size();
    if (raw.find('<') != std::string_view::npos) {
      return std::unexpected("markup inside <" + std::string(name) + ">");
    }
    return decode(raw);
  }

  // Skips the rest of an element whose opening tag has been read.
  std::expected<void, std::string> skip_element(const Tag& open) {
    if (open.self_closing) return {};
    int depth = 1;
    while (depth > 0) {
      auto next = xml_.find('<', pos_);
      if (next == std::string_view::npos)
        return std::unexpected("unterminated <" + open.name + ">");
      pos_ = next;
      if (starts_with("<!--")) {
        if (!skip_past("-->")) return std::unexpected("unterminated comment");
        continue;
      }
      auto tag = read_tag();
      if (!tag) return std::unexpected(tag.error());
      if (tag->closing) {
        --depth;
      } else if (!tag->self_closing) {
        ++depth;
      }
    }
    return {};
  }

 private:
  static bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
  bool starts_with(std::string_view prefix) const { return xml_.substr(pos_).starts_with(prefix); }
  bool skip_past(std::string_view end) {
    auto at = xml_.find(end, pos_);
    if (at == std::string_view::npos) return false;
    pos_ = at + end.size();
    return true;
  }

  static std::expected<std::string, std::string> decode(std::string_view raw) {
    std::string out;
    for (std::size_t i = 0; i < raw.size(); ++i) {
      if (raw[i] != '&') {
        out += raw[i];
        continue;
      }
      auto semi = raw.find(';', i);
      if (semi == std::string_view::npos) return std::unexpected("unterminated entity");
      std::string_view entity = raw.substr(i + 1, semi - i - 1);
      i = semi;
      if (entity == "amp") {
        out += '&';
      } else if (entity == "lt") {
        out += '<';
      } else if (entity == "gt") {
        out += '>';
      } else if (entity == "quot") {
        out += '"';
      } else if (entity == "apos") {
        out += '\'';
      } else if (entity.size() > 1 && entity[0] == '#') {
        bool hex = entity[1] == 'x';
        std::uint32_t cp = 0;
        std::string_view digits = entity.substr(hex ? 2 : 1);
        if (digits.empty() || digits.size() > 8) return std::unexpected("bad character reference");
        for (char c : digits) {
          int v = common::util::hex_value(c);
          if (v < 0 || (!hex && v > 9)) return std::unexpected("bad character reference");
          cp = cp * (hex ? 16 : 10) + static_cast<std::uint32_t>(v);
        }
        if (cp == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
          return std::unexpected("bad character reference");
        }
        common::util::append_utf8(out, cp);
      } else {
        return std::unexpected("unknown entity &" + std::string(entity) + ";");
      }
    }
    return out;
  }

  std::string_view xml_;
  std::size_t pos_ = 0;
};

}  // namespace

std::expected<std::map<std::string, std::string>, std::string> read_plist_strings(
    std::string_view xml) {
  XmlReader reader(xml);
  auto plist = reader.read_tag();
  if (!plist) return std::unexpected(plist.error());
  if (plist->name != "plist" || plist->closing || plist->self_closing) {
    return std::unexpected("the document is not a property list");
  }
  auto dict = reader.read_tag();
  if (!dict) return std::unexpected(dict.error());
  if (dict->name != "dict" || dict->closing) {
    return std::unexpected("the property list does not hold a dictionary");
  }
  std::map<std::string, std::string> strings;
  if (dict->self_closing) return strings;
  for (;;) {
    auto tag = reader.read_tag();
    if (!tag) return std::unexpected(tag.error());
    if (tag->closing && tag->name == "dict") return strings;
    if (tag->name != "key" || tag->closing || tag->self_closing) {
      return std::unexpected("expected <key> in the dictionary");
    }
    auto key = reader.read_text("key");
    if (!key) return std::unexpected(key.error());
    auto value = reader.read_tag();
    if (!value) return std::unexpected(value.error());
    if (value->closing) return std::unexpected("key \"" + *key + "\" has no value");
    if (value->name == "string" && !value->self_closing) {
      auto text = reader.read_text("string");
      if (!text) return std::unexpected(text.error());
      strings[*key] = std::move(*text);
    } else if (value->name == "string") {
      strings[*key] = "";
    } else {
      auto skipped = reader.skip_element(*value);
      if (!skipped) return std::unexpected(skipped.error());
    }
  }
}

}  // namespace codesign

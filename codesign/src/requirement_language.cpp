#include "codesign/requirement_language.hpp"

#include <algorithm>
#include <array>

namespace codesign {

namespace {

enum class Token { Word, String, LBracket, RBracket, LParen, RParen, Bang, Equals, Compare, End };

struct Lexeme {
  Token token = Token::End;
  std::string text;  // word or decoded string
  std::size_t offset = 0;
};

bool is_word_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '_' || c == '-';
}

class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  std::expected<RequirementNode, SignatureProblem> parse() {
    if (!advance()) return fail();
    auto node = parse_or();
    if (!node) return fail();
    if (current_.token != Token::End) {
      invalid(current_.offset, "unexpected " + describe(current_) + " after the requirement");
      return fail();
    }
    return std::move(*node);
  }

 private:
  std::unexpected<SignatureProblem> fail() { return std::unexpected(problem_); }

  std::string position(std::size_t offset) const {
    std::size_t line = 1;
    std::size_t column = 1;
    for (std::size_t i = 0; i < offset && i < text_.size(); ++i) {
      if (text_[i] == '\n') {
        ++line;
        column = 1;
      } else {
        ++column;
      }
    }
    return std::to_string(line) + ":" + std::to_string(column);
  }

  // Records the first problem only; later ones are consequences of it.
  void report(OSStatus status, std::size_t offset, const std::string& message) {
    if (problem_.status != 0) return;
    problem_.status = status;
    problem_.detail = position(offset) + ": " + message;
  }
  void invalid(std::size_t offset, const std::string& message) {
    report(REQUIREMENT_INVALID, offset, message);
  }
  void unsupported(std::size_t offset, const std::string& message) {
    report(REQUIREMENT_UNSUPPORTED, offset, message);
  }

  static std::string describe(const Lexeme& lexeme) {
    switch (lexeme.token) {
      case Token::Word:
        return "\"" + lexeme.text + "\"";
      case Token::String:
        return "string \"" + lexeme.text + "\"";
      case Token::End:
        return "end of requirement";
      default:
        return "\"" + lexeme.text + "\"";
    }
  }

  bool skip_space_and_comments() {
    while (pos_ < text_.size()) {
      char c = text_[pos_];
      if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
        ++pos_;
      } else if (text_.substr(pos_, 2) == "/*") {
        auto end = text_.find("*/", pos_ + 2);
        if (end == std::string_view::npos) {
          invalid(pos_, "unterminated comment");
          return false;
        }
        pos_ = end + 2;
      } else {
        break;
      }
    }
    return true;
  }

  bool advance() {
    if (!skip_space_and_comments()) return false;
    current_ = Lexeme{};
    current_.offset = pos_;
    if (pos_ >= text_.size()) {
      current_.token = Token::End;
      return true;
    }
    char c = text_[pos_];
    auto single = [&](Token token) {
      current_.token = token;
      current_.text = std::string(1, c);
      ++pos_;
      return true;
    };
    switch (c) {
      case '[':
        return single(Token::LBracket);
      case ']':
        return single(Token::RBracket);
      case '(':
        return single(Token::LParen);
      case ')':
        return single(Token::RParen);
      case '!':
        return single(Token::Bang);
      case '=':
        return single(Token::Equals);
      case '<':
      case '>':
        current_.token = Token::Compare;
        current_.text = std::string(1, c);
        ++pos_;
        if (pos_ < text_.size() && text_[pos_] == '=') current_.text += text_[pos_++];
        return true;
      case '"':
        return lex_string();
      default:
        break;
    }
    if (!is_word_char(c)) {
      invalid(pos_, std::string("unexpected character \"") + c + "\"");
      return false;
    }
    current_.token = Token::Word;
    while (pos_ < text_.size() && is_word_char(text_[pos_])) current_.text += text_[pos_++];
    return true;
  }

  bool lex_string() {
    std::size_t start = pos_++;
    current_.token = Token::String;
    while (pos_ < text_.size()) {
      char c = text_[pos_++];
      if (c == '"') return true;
      if (c == '\\') {
        if (pos_ >= text_.size()) break;
        c = text_[pos_++];
      }
      current_.text += c;
    }
    invalid(start, "unterminated string");
    return false;
  }

  // Each operator deepens the recursion or the compiled tree by at most one, so bounding their
  // number bounds both before a long text could exhaust the stack. The client requirement has a
  // handful.
  static constexpr std::size_t MAX_OPERATORS = 256;
  bool count_operator() {
    if (++operators_ <= MAX_OPERATORS) return true;
    unsupported(current_.offset, "more than " + std::to_string(MAX_OPERATORS) + " operators");
    return false;
  }

  bool is_word(std::string_view word) const {
    return current_.token == Token::Word && current_.text == word;
  }

  std::optional<RequirementNode> parse_or() {
    auto left = parse_and();
    if (!left) return std::nullopt;
    while (is_word("or")) {
      if (!count_operator() || !advance()) return std::nullopt;
      auto right = parse_and();
      if (!right) return std::nullopt;
      left = combine(RequirementNode::Kind::Or, std::move(*left), std::move(*right));
    }
    return left;
  }

  std::optional<RequirementNode> parse_and() {
    auto left = parse_unary();
    if (!left) return std::nullopt;
    while (is_word("and")) {
      if (!count_operator() || !advance()) return std::nullopt;
      auto right = parse_unary();
      if (!right) return std::nullopt;
      left = combine(RequirementNode::Kind::And, std::move(*left), std::move(*right));
    }
    return left;
  }

  static RequirementNode combine(RequirementNode::Kind kind, RequirementNode left,
                                 RequirementNode right) {
    RequirementNode node;
    node.kind = kind;
    node.operands.push_back(std::move(left));
    node.operands.push_back(std::move(right));
    return node;
  }

  std::optional<RequirementNode> parse_unary() {
    if (current_.token == Token::Bang) {
      if (!count_operator() || !advance()) return std::nullopt;
      auto operand = parse_unary();
      if (!operand) return std::nullopt;
      RequirementNode node;
      node.kind = RequirementNode::Kind::Not;
      node.operands.push_back(std::move(*operand));
      return node;
    }
    return parse_primary();
  }

  std::optional<RequirementNode> parse_primary() {
    if (current_.token == Token::LParen) {
      if (!count_operator() || !advance()) return std::nullopt;
      auto inner = parse_or();
      if (!inner) return std::nullopt;
      if (current_.token != Token::RParen) {
        invalid(current_.offset, "expected \")\" but found " + describe(current_));
        return std::nullopt;
      }
      if (!advance()) return std::nullopt;
      return inner;
    }
    if (current_.token != Token::Word) {
      invalid(current_.offset, "expected a requirement but found " + describe(current_));
      return std::nullopt;
    }
    if (is_word("identifier")) return parse_identifier();
    if (is_word("anchor")) return parse_anchor();
    if (is_word("certificate") || is_word("cert")) return parse_certificate();
    static constexpr std::array<std::string_view, 12> OUTSIDE_SUBSET = {
        "info",   "entitlement", "cdhash", "platform",   "notarized", "legacy",
        "always", "never",       "host",   "designated", "library",   "guest"};
    if (std::find(OUTSIDE_SUBSET.begin(), OUTSIDE_SUBSET.end(), current_.text) !=
        OUTSIDE_SUBSET.end()) {
      unsupported(current_.offset, "\"" + current_.text + "\" is not supported");
      return std::nullopt;
    }
    invalid(current_.offset, "expected a requirement but found " + describe(current_));
    return std::nullopt;
  }

  // A string value: quoted, or a bare word.
  std::optional<std::string> parse_value(std::string_view after) {
    if (current_.token != Token::String && current_.token != Token::Word) {
      invalid(current_.offset,
              "expected a string after " + std::string(after) + " but found " + describe(current_));
      return std::nullopt;
    }
    std::string value = current_.text;
    if (!advance()) return std::nullopt;
    return value;
  }

  std::optional<RequirementNode> parse_identifier() {
    if (!advance()) return std::nullopt;
    if (current_.token == Token::Equals && !advance()) return std::nullopt;
    auto value = parse_value("\"identifier\"");
    if (!value) return std::nullopt;
    RequirementNode node;
    node.kind = RequirementNode::Kind::Identifier;
    node.value = std::move(*value);
    return node;
  }

  std::optional<RequirementNode> parse_anchor() {
    std::size_t start = current_.offset;
    if (!advance()) return std::nullopt;
    if (!is_word("apple")) {
      if (current_.token == Token::End) {
        invalid(current_.offset, "expected an anchor after \"anchor\"");
      } else {
        unsupported(start, "only \"anchor apple generic\" is supported");
      }
      return std::nullopt;
    }
    if (!advance()) return std::nullopt;
    if (!is_word("generic")) {
      unsupported(start, "only \"anchor apple generic\" is supported");
      return std::nullopt;
    }
    if (!advance()) return std::nullopt;
    RequirementNode node;
    node.kind = RequirementNode::Kind::AnchorAppleGeneric;
    return node;
  }

  std::optional<RequirementNode> parse_certificate() {
    if (!advance()) return std::nullopt;
    if (current_.token != Token::Word) {
      invalid(current_.offset, "expected a certificate position but found " + describe(current_));
      return std::nullopt;
    }
    if (!is_word("leaf")) {
      unsupported(current_.offset,
                  "certificate position \"" + current_.text + "\" is not supported");
      return std::nullopt;
    }
    if (!advance()) return std::nullopt;
    if (current_.token != Token::LBracket) {
      unsupported(current_.offset, "only certificate fields of the leaf are supported");
      return std::nullopt;
    }
    if (!advance()) return std::nullopt;
    if (current_.token != Token::Word) {
      invalid(current_.offset, "expected a certificate field but found " + describe(current_));
      return std::nullopt;
    }
    Lexeme key = current_;
    if (!advance()) return std::nullopt;
    if (current_.token != Token::RBracket) {
      invalid(current_.offset, "expected \"]\" but found " + describe(current_));
      return std::nullopt;
    }
    if (!advance()) return std::nullopt;

    if (key.text == "subject.OU") {
      if (current_.token == Token::Compare || is_word("exists")) {
        unsupported(current_.offset, "only \"=\" is supported for subject.OU");
        return std::nullopt;
      }
      if (current_.token != Token::Equals) {
        invalid(current_.offset, "expected \"=\" after certificate leaf[subject.OU]");
        return std::nullopt;
      }
      if (!advance()) return std::nullopt;
      auto value = parse_value("\"=\"");
      if (!value) return std::nullopt;
      RequirementNode node;
      node.kind = RequirementNode::Kind::LeafSubjectOU;
      node.value = std::move(*value);
      return node;
    }
    if (key.text.starts_with("field.")) {
      std::string oid = key.text.substr(6);
      if (!is_dotted_oid(oid)) {
        invalid(key.offset, "\"" + oid + "\" is not an object identifier");
        return std::nullopt;
      }
      if (current_.token == Token::Equals || current_.token == Token::Compare) {
        unsupported(current_.offset, "only \"exists\" is supported for certificate fields");
        return std::nullopt;
      }
      if (is_word("exists") && !advance()) return std::nullopt;
      RequirementNode node;
      node.kind = RequirementNode::Kind::LeafFieldExists;
      node.value = std::move(oid);
      return node;
    }
    unsupported(key.offset, "certificate field \"" + key.text + "\" is not supported");
    return std::nullopt;
  }

  static bool is_dotted_oid(std::string_view oid) {
    std::size_t arcs = 0;
    std::size_t start = 0;
    while (start <= oid.size()) {
      auto end = oid.find('.', start);
      if (end == std::string_view::npos) end = oid.size();
      auto arc = oid.substr(start, end - start);
      if (arc.empty() || arc.size() > 18) return false;
      if (!std::all_of(arc.begin(), arc.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return false;
      }
      ++arcs;
      start = end + 1;
    }
    return arcs >= 2;
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  Lexeme current_;
  SignatureProblem problem_;
  std::size_t operators_ = 0;
};

}  // namespace

bool RequirementNode::evaluate(const SignatureFacts& facts) const {
  switch (kind) {
    case Kind::Identifier:
      return facts.identifier == value;
    case Kind::AnchorAppleGeneric:
      return facts.anchored;
    case Kind::LeafSubjectOU:
      return facts.leaf_subject_ou && *facts.leaf_subject_ou == value;
    case Kind::LeafFieldExists:
      return std::find(facts.leaf_extension_oids.begin(), facts.leaf_extension_oids.end(), value) !=
             facts.leaf_extension_oids.end();
    case Kind::And:
      return operands[0].evaluate(facts) && operands[1].evaluate(facts);
    case Kind::Or:
      return operands[0].evaluate(facts) || operands[1].evaluate(facts);
    case Kind::Not:
      return !operands[0].evaluate(facts);
  }
  return false;
}

std::expected<RequirementNode, SignatureProblem> compile_requirement(std::string_view text) {
  return Parser(text).parse();
}

}  // namespace codesign

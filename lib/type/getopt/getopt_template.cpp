// Option templates: the tokenizer of a template text and its compiler into
// levels of OptionNode records.
#include <cctype>
#include <string_view>

#include "cmn/ctx.h"
#include "getopt/getopt.h"

TARN_RCSID("lib/type/getopt/getopt_template.cpp");

namespace {

enum class TokenKind { kEnd = 0, kWord = 1, kArgument = 2, kOpen = 3, kClose = 4, kRepeat = 5 };

struct Token {
  TokenKind kind = TokenKind::kEnd;
  std::string_view text;  // word or argument name; a view into the template
};

bool IsSpace(char c) {
  return std::isspace(static_cast<unsigned char>(c)) != 0;
}

class TemplateLexer {
 public:
  explicit TemplateLexer(std::string_view text) : text_(text) {}

  Token Next() {
    while (pos_ < text_.size() && IsSpace(text_[pos_])) ++pos_;
    if (pos_ >= text_.size()) return {};
    const char c = text_[pos_];
    if (c == '<') {
      ++pos_;
      while (pos_ < text_.size() && IsSpace(text_[pos_])) ++pos_;
      const size_t start = pos_;
      while (pos_ < text_.size() && !IsSpace(text_[pos_]) && text_[pos_] != '>') ++pos_;
      const std::string_view name = text_.substr(start, pos_ - start);
      const size_t close = text_.find('>', pos_);
      pos_ = close == std::string_view::npos ? text_.size() : close + 1;
      return {TokenKind::kArgument, name};
    }
    if (c == '{' || c == '}') {
      ++pos_;
      return {c == '{' ? TokenKind::kOpen : TokenKind::kClose, {}};
    }
    if (c == '.') {
      while (pos_ < text_.size() && text_[pos_] == '.') ++pos_;
      return {TokenKind::kRepeat, {}};
    }
    const size_t start = pos_;
    while (pos_ < text_.size() && !IsSpace(text_[pos_])) ++pos_;
    return {TokenKind::kWord, text_.substr(start, pos_ - start)};
  }

 private:
  std::string_view text_;
  size_t pos_ = 0;
};

class Compiler {
 public:
  explicit Compiler(std::string_view text) : lexer_(text) {}

  int Run(OptionLevel* top, std::string* reason) {
    token_ = lexer_.Next();
    int rc = Level(top, 0);
    if (rc == 0 && token_.kind == TokenKind::kClose) rc = Fail("'}' closes no group");
    if (rc != 0 && reason != nullptr) *reason = reason_;
    return rc;
  }

 private:
  int Fail(std::string why) {
    reason_ = std::move(why);
    return -1;
  }

  // Appends the argument tokens at the cursor to the node's names.
  int TakeArguments(OptionNode& node) {
    while (token_.kind == TokenKind::kArgument) {
      if (node.args.size() >= static_cast<size_t>(kGetoptMaxArgs)) {
        return Fail("more than 16 argument names for '" + node.name + "'");
      }
      node.args.emplace_back(token_.text);
      token_ = lexer_.Next();
    }
    return 0;
  }

  // Compiles tokens into *level up to the end of the text or a "}", which is
  // left as the current token.
  int Level(OptionLevel* level, int depth) {
    OptionNode* current = nullptr;
    while (token_.kind != TokenKind::kEnd && token_.kind != TokenKind::kClose) {
      switch (token_.kind) {
        case TokenKind::kWord:
          level->push_back(OptionNode{std::string(token_.text), {}, false, {}, 0});
          current = &level->back();
          token_ = lexer_.Next();
          break;
        case TokenKind::kArgument:
          // An argument before any option word belongs to nothing.
          if (current == nullptr) {
            token_ = lexer_.Next();
          } else if (TakeArguments(*current) != 0) {
            return -1;
          }
          break;
        case TokenKind::kOpen:
          if (current == nullptr) return Fail("'{' follows no option word");
          if (current->hasGroup) return Fail("second group for '" + current->name + "'");
          if (depth + 1 > kGetoptMaxDepth) return Fail("groups nested too deep");
          token_ = lexer_.Next();
          if (TakeArguments(*current) != 0) return -1;
          current->hasGroup = true;
          if (Level(&current->group, depth + 1) != 0) return -1;
          if (token_.kind == TokenKind::kClose) token_ = lexer_.Next();
          break;
        case TokenKind::kRepeat:
          if (current != nullptr) current->flags |= GETOPT_REPEATABLE;
          token_ = lexer_.Next();
          break;
        default: token_ = lexer_.Next(); break;
      }
    }
    return 0;
  }

  TemplateLexer lexer_;
  Token token_;
  std::string reason_;
};

}  // namespace

int GetoptCompile(const char* text, OptionLevel* level, std::string* reason) {
  if (level == nullptr) return -1;
  level->clear();
  Compiler compiler(text != nullptr ? std::string_view(text) : std::string_view());
  if (compiler.Run(level, reason) != 0) {
    level->clear();
    return -1;
  }
  return 0;
}

std::string GetoptKeyOf(const std::string& name) {
  std::string key;
  for (const char c : name) {
    if (c == '|') break;
    if (c != '[' && c != ']' && c != '-') key.push_back(c);
  }
  return key;
}

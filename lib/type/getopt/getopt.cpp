// Option template parser: matches command-line entries against a compiled
// template and stores what it finds, and its errors, in a keyed variant list.
#include "getopt/getopt.h"

#include <cctype>
#include <cstdint>
#include <string>
#include <string_view>

#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/tok.h"

TARN_RCSID("lib/type/getopt/getopt.cpp");

namespace {

constexpr int kLevel = 199;

// The levels a matcher is inside, innermost first; an optional argument never
// takes an entry that is an option of any of them.
struct LevelChain {
  const OptionLevel* level;
  const LevelChain* outer;
};

int Lower(char c) {
  return std::tolower(static_cast<unsigned char>(c));
}

// Matches one alternative (up to "|" or its end) against an entry, ignoring
// case. On a match *rest is the unmatched rest of the entry.
bool MatchAlternative(std::string_view alternative, const char* entry, const char** rest) {
  size_t i = 0;
  const char* p = entry;
  bool abbreviationPassed = false;
  for (;;) {
    while (i < alternative.size() && alternative[i] == '[') {
      ++i;
      abbreviationPassed = true;
    }
    if (i == alternative.size()) {
      *rest = p;
      return true;
    }
    if (*p == '\0' || Lower(*p) != Lower(alternative[i])) {
      *rest = p;
      return abbreviationPassed;
    }
    ++i;
    ++p;
  }
}

bool TakesValue(const OptionNode& node) {
  return !node.args.empty() || node.hasGroup;
}

// The rest after an option word: nothing, or for an option with arguments or
// a group a value attached after ":", "=" or a blank.
bool RestFits(const OptionNode& node, const char* rest) {
  if (*rest == '\0') return true;
  return TakesValue(node) && (*rest == ':' || *rest == '=' || *rest == ' ');
}

// First node of the level that an entry names; *rest gets the entry's rest.
const OptionNode* Lookup(const OptionLevel& level, const char* entry, const char** rest) {
  for (const OptionNode& node : level) {
    std::string_view alternatives(node.name);
    for (;;) {
      const size_t bar = alternatives.find('|');
      const char* r = nullptr;
      if (MatchAlternative(alternatives.substr(0, bar), entry, &r) && RestFits(node, r)) {
        *rest = r;
        return &node;
      }
      if (bar == std::string_view::npos) break;
      alternatives.remove_prefix(bar + 1);
    }
  }
  return nullptr;
}

bool IsOptionWord(const LevelChain* chain, const char* entry) {
  const char* rest = nullptr;
  for (const LevelChain* c = chain; c != nullptr; c = c->outer) {
    if (Lookup(*c->level, entry, &rest) != nullptr) return true;
  }
  return false;
}

// Makes *var a container of `klass`: an undefined value becomes an empty one,
// and a value of another kind (a key that an earlier option of another shape
// filled) is replaced.
CmnVar* MakeContainer(CmnVar* var, const CmnVarClass* klass) {
  if (var == nullptr) return nullptr;
  if (var->klass != klass) {
    CmnVarFree(var);
    *var = CmnVarNew(klass);
  }
  return var;
}

// Sets key := value in the list *store (made a list when needed); the value
// is freed when it could not be stored.
CmnVar* Store(CmnVar* store, const std::string& key, CmnVar value) {
  CmnVar* stored = CmnVarSet(MakeContainer(store, var_class_list), key.c_str(), value);
  if (stored == nullptr) CmnVarFree(&value);
  return stored;
}

// Appends value to the array under key in *store.
CmnVar* Append(CmnVar* store, const std::string& key, CmnVar value) {
  CmnVar* array =
      MakeContainer(CmnVarFind(MakeContainer(store, var_class_list), key.c_str()), var_class_array);
  CmnVar* stored = CmnVarPush(array, value);
  if (stored == nullptr) CmnVarFree(&value);
  return stored;
}

int ParseLevel(const LevelChain& chain, int argc, const char* const* argv, int* index,
               CmnVar* target) {
  int result = 0;
  while (*index < argc) {
    const char* entry = argv[*index];
    if (entry == nullptr || *entry == '\0') {
      ++*index;
      continue;
    }
    const char* rest = nullptr;
    const OptionNode* node = Lookup(*chain.level, entry, &rest);
    if (node == nullptr) {
      DbgPlain(kLevel, "[%s] Bail on unknown option argv[%d]='%s'", "getopt_parse_r", *index,
               entry);
      Store(target, kGetoptUnknownKey, CmnVarText(entry));
      return -2;
    }
    ++*index;
    const std::string key = GetoptKeyOf(node->name);
    const bool repeatable = (node->flags & GETOPT_REPEATABLE) != 0;

    if (!TakesValue(*node)) {
      const CmnVar* old =
          target->klass == var_class_list ? CmnVarGet(*target, key.c_str()) : nullptr;
      const int64_t count = old != nullptr ? CmnVarCastInt64(*old) : 0;
      Store(target, key, CmnVarInt64(count + 1));
      continue;
    }

    // Arguments of a node with a group go under its key (one keyed list per
    // occurrence when it repeats); other arguments go into the target itself.
    CmnVar* store = target;
    if (node->hasGroup) {
      store = CmnVarFind(MakeContainer(target, var_class_list), key.c_str());
      if (repeatable) store = CmnVarPush(MakeContainer(store, var_class_array), VarUndef);
      if (store == nullptr) return -1;  // memory ran out
    }

    const char* attached = *rest != '\0' ? rest + 1 : nullptr;
    for (size_t a = 0; a < node->args.size(); ++a) {
      const std::string& name = node->args[a];
      const bool optional = !name.empty() && name[0] == '[';
      const char* value = nullptr;
      if (a == 0 && attached != nullptr) {
        value = attached;
      } else if (*index < argc) {
        const char* next = argv[*index] != nullptr ? argv[*index] : "";
        if (!optional || !IsOptionWord(&chain, next)) {
          value = next;
          ++*index;
        }
      }
      if (value == nullptr) {
        if (optional) continue;
        DbgPlain(kLevel, "[%s] Missing argument for '%s'", "getopt_parse_r", node->name.c_str());
        Store(target, kGetoptMissingKey, CmnVarText(node->name.c_str()));
        return -1;
      }
      const std::string argKey = GetoptKeyOf(name);
      if (repeatable && !node->hasGroup) {
        Append(store, argKey, CmnVarText(value));
      } else {
        Store(store, argKey, CmnVarText(value));
      }
    }

    if (node->hasGroup) {
      const LevelChain inner{&node->group, &chain};
      result = ParseLevel(inner, argc, argv, index, store);
      // The group's store lies inside the target: it is not used past here.
      if (result == -1) {
        // A group's missing argument fails the whole parse, not only the group.
        const CmnVar* missing =
            store->klass == var_class_list ? CmnVarGet(*store, kGetoptMissingKey) : nullptr;
        Store(target, kGetoptMissingKey,
              missing != nullptr ? CmnVarCopy(*missing) : CmnVarText(""));
        return -1;
      }
      // -2: the entry unknown to the group is matched again at this level.
    }
    if (target->klass != var_class_list || CmnVarGet(*target, key.c_str()) == nullptr) {
      Store(target, key, CmnVarInt64(1));
    }
  }
  return result;
}

}  // namespace

int getopt_parse_r(const OptionLevel& level, int argc, const char* const* argv, int* index,
                   CmnVar* target) {
  if (index == nullptr || target == nullptr) return -1;
  if (argv == nullptr) argc = 0;
  if (*index < 0) *index = 0;
  const LevelChain chain{&level, nullptr};
  return ParseLevel(chain, argc, argv, index, target);
}

CmnVar getopt_parse(const OptionLevel& level, int argc, const char* const* argv) {
  CmnVar result = CmnVarList(nullptr);
  if (argv == nullptr || argc < 0) argc = 0;
  DbgPlain(kLevel, "[%s] Arguments:", "getopt_parse");
  for (int i = 0; i < argc; ++i) DbgPlain(kLevel, "\t|%s", argv[i] != nullptr ? argv[i] : "");
  int index = 0;
  getopt_parse_r(level, argc, argv, &index, &result);
  CmnVarDbgDump(kLevel, &result);
  return result;
}

CmnVar GetoptParse(const char* templateText, int argc, const char* const* argv) {
  OptionLevel level;
  std::string reason;
  if (GetoptCompile(templateText, &level, &reason) != 0) {
    DbgPlain(kDbgUnexpected, "[%s] Template refused (%s): %s", "GetoptParse", reason.c_str(),
             templateText != nullptr ? templateText : "");
  }
  return getopt_parse(level, argc, argv);
}

bool GetoptResultOk(CmnVar result) {
  return CmnVarGet(result, kGetoptUnknownKey) == nullptr &&
         CmnVarGet(result, kGetoptMissingKey) == nullptr;
}

CmnVar GetoptSplitWords(const char* text) {
  CmnVar words = CmnVarNew(var_class_array);
  if (text == nullptr) return words;
  std::string copy(text);
  tok_t tokenizer;
  tok_init(&tokenizer, copy.data());
  while (const char* word = tok_getex(&tokenizer, 0)) {
    CmnVar value = CmnVarText(word);
    if (CmnVarPush(&words, value) == nullptr) {
      CmnVarFree(&value);
      break;
    }
  }
  tok_free(&tokenizer);
  return words;
}

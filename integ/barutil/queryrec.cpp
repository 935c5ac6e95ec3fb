// Catalogue records: unpacking of reply fields into records, with every
// length and number checked, and the reader of a version's options text.
#include "barutil/queryrec.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "cmn/ctx.h"
#include "cmn/defines.h"
#include "cmn/str.h"

TARN_RCSID("integ/barutil/queryrec.cpp");

namespace {

bool Number(const char* field, std::int64_t* out) {
  if (field == nullptr || field[0] == '\0') return false;
  errno = 0;
  char* end = nullptr;
  const long long value = std::strtoll(field, &end, 10);
  if (errno != 0 || *end != '\0') return false;
  *out = value;
  return true;
}

bool Text(const char* field, char* out, std::size_t max) {
  if (field == nullptr) return false;
  const std::size_t n = std::strlen(field);
  if (n > max) return false;
  std::memcpy(out, field, n + 1);
  return true;
}

char* Dup(std::string_view text) {
  auto* copy = static_cast<char*>(safe_malloc(text.size() + 1, rcsId, __LINE__));
  if (copy == nullptr) return nullptr;
  std::memcpy(copy, text.data(), text.size());
  copy[text.size()] = '\0';
  return copy;
}

// Next word of the options text: a quoted word without its quotes, else up
// to the next blank. False at the end; *bad set for an unterminated quote.
bool NextWord(std::string_view& rest, std::string_view* word, bool* quoted, bool* bad) {
  while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
  if (rest.empty()) return false;
  if (rest.front() == '"') {
    const std::size_t close = rest.find('"', 1);
    if (close == std::string_view::npos) {
      *bad = true;
      return false;
    }
    *word = rest.substr(1, close - 1);
    *quoted = true;
    rest.remove_prefix(close + 1);
    return true;
  }
  const std::size_t end = rest.find(' ');
  *word = rest.substr(0, end);
  *quoted = false;
  rest.remove_prefix(end == std::string_view::npos ? rest.size() : end);
  return true;
}

constexpr int kVersionNumbers[] = {0, 2, 3, 4, 7, 8, 9, 10, 11, 14, 15, 16, 19, 23, 24};

int UnpackVersion(const char* const* v, int count, VEK_Version* out) {
  // The version fields up to the options text must all be there.
  if (count <= kVekVersionOptionsField) return -1;
  for (int i : kVersionNumbers)
    if (!Number(v[i], &out->value[i])) return -1;
  std::int64_t low = 0;
  std::int64_t high = 0;
  if (!Number(v[5], &low) || !Number(v[6], &high)) return -1;
  out->size = (static_cast<std::uint64_t>(high) << 32) | static_cast<std::uint32_t>(low);
  if (!Text(v[kVekVersionTextField], out->text, kVekVersionTextMax)) return -1;
  if (count > kVekVersionSessionField &&
      !Text(v[kVekVersionSessionField], out->sessionId, kVekSessionIdMax))
    return -1;
  const char* options = v[kVekVersionOptionsField];
  if (options[0] != '\0') {
    out->options = Dup(options);
    if (out->options == nullptr || VEK_ReadVersionOptions(options, out) != 0) return -1;
  }
  if (out->backupId[0] == '\0') StrCopy(out->backupId, out->sessionId, kVekBackupIdMax);
  return 0;
}

bool UnpackObjectName(const char* name, VEK_Object* out) {
  char label[kObjNameLabelMax + 1] = {};
  if (StrFromObjectName(&out->type, out->host, out->mountPoint, label, name) != 0) return false;
  StrCopy(out->description, label, kVekDescriptionMax);
  return true;
}

bool UnpackItem(const char* const* f, int count, VEK_Item* out) {
  if (count < 10 || !Text(f[0], out->name, kVekNameMax)) return false;
  std::int64_t low = 0;
  std::int64_t high = 0;
  if (!Number(f[1], &out->id) || !Number(f[2], &out->number2) || !Number(f[3], &out->uid) ||
      !Number(f[4], &out->gid) || !Number(f[5], &out->mode) || !Number(f[6], &low) ||
      !Number(f[7], &high) || !Number(f[8], &out->mtime) || !Number(f[9], &out->number9))
    return false;
  out->size = (static_cast<std::uint64_t>(high) << 32) | static_cast<std::uint32_t>(low);
  return count < 11 || Number(f[10], &out->number10);
}

}  // namespace

int VEK_ReadVersionOptions(const char* text, VEK_Version* version) {
  std::string_view rest = text != nullptr ? text : "";
  std::string_view word;
  bool quoted = false;
  bool bad = false;
  while (NextWord(rest, &word, &quoted, &bad)) {
    if (word == "-backupId") {
      if (!NextWord(rest, &word, &quoted, &bad)) break;
      if (word.size() > kVekBackupIdMax) return -1;
      std::memcpy(version->backupId, word.data(), word.size());
      version->backupId[word.size()] = '\0';
    } else if (word == "-tree" || word == "-trees") {
      std::string_view ahead = rest;
      while (NextWord(ahead, &word, &quoted, &bad) && quoted) {
        if (version->trees.mode != ARRAY_STRINGS) array_init(&version->trees, ARRAY_STRINGS);
        char* tree = Dup(word);
        const bool pushed = tree != nullptr && array_push(&version->trees, tree) != nullptr;
        safe_free(tree, rcsId, __LINE__);
        if (!pushed) return -1;
        rest = ahead;
      }
    } else if (word == "-baropt") {
      if (!NextWord(rest, &word, &quoted, &bad)) break;
      safe_free(version->barOpt, rcsId, __LINE__);
      version->barOpt = Dup(word);
      if (version->barOpt == nullptr) return -1;
    } else if (word == "-mp_bhost") {
      if (!NextWord(rest, &word, &quoted, &bad)) break;
    } else {
      break;
    }
  }
  return bad ? -1 : 0;
}

void VEK_VersionFree(void* record) {
  auto* v = static_cast<VEK_Version*>(record);
  if (v == nullptr) return;
  safe_free(v->options, rcsId, __LINE__);
  safe_free(v->barOpt, rcsId, __LINE__);
  v->options = nullptr;
  v->barOpt = nullptr;
  if (v->trees.mode == ARRAY_STRINGS) array_free(&v->trees);
  v->trees = array_t{};
}

void VEK_ObjectVersionFree(void* record) {
  if (record != nullptr) VEK_VersionFree(&static_cast<VEK_ObjectVersion*>(record)->version);
}

void VEK_ItemVersionFree(void* record) {
  if (record != nullptr) VEK_VersionFree(&static_cast<VEK_ItemVersion*>(record)->version);
}

int VEK_ObjectUnpack(const char* const* f, int count, void* record) {
  auto* out = static_cast<VEK_Object*>(record);
  *out = VEK_Object{};
  if (count < 1 || !UnpackObjectName(f[0], out)) {
    *out = VEK_Object{};
    return -1;
  }
  return 0;
}

int VEK_VersionUnpack(const char* const* f, int count, void* record) {
  auto* out = static_cast<VEK_Version*>(record);
  *out = VEK_Version{};
  if (UnpackVersion(f, count, out) != 0) {
    VEK_VersionFree(out);
    *out = VEK_Version{};
    return -1;
  }
  return 0;
}

int VEK_ObjectVersionUnpack(const char* const* f, int count, void* record) {
  auto* out = static_cast<VEK_ObjectVersion*>(record);
  *out = VEK_ObjectVersion{};
  if (count < 2 || VEK_ObjectUnpack(f, count, &out->object) != 0 ||
      VEK_VersionUnpack(f + 2, count - 2, &out->version) != 0) {
    *out = VEK_ObjectVersion{};
    return -1;
  }
  return 0;
}

int VEK_ItemUnpack(const char* const* f, int count, void* record) {
  auto* out = static_cast<VEK_Item*>(record);
  *out = VEK_Item{};
  if (!UnpackItem(f, count, out)) {
    *out = VEK_Item{};
    return -1;
  }
  return 0;
}

int VEK_ItemVersionUnpack(const char* const* f, int count, void* record) {
  auto* out = static_cast<VEK_ItemVersion*>(record);
  *out = VEK_ItemVersion{};
  if (count < 10 || !UnpackItem(f, 10, &out->item) ||
      VEK_VersionUnpack(f + 10, count - 10, &out->version) != 0) {
    *out = VEK_ItemVersion{};
    return -1;
  }
  return 0;
}

int VEK_FileNameUnpack(const char* const* f, int count, void* record) {
  auto* out = static_cast<VEK_FileName*>(record);
  *out = VEK_FileName{};
  if (count < 4 || !Text(f[0], out->name, kVekNameMax) || !Number(f[1], &out->number[0]) ||
      !Number(f[2], &out->number[1]) || !Number(f[3], &out->number[2])) {
    *out = VEK_FileName{};
    return -1;
  }
  return 0;
}

int VEK_MediumUnpack(const char* const* f, int count, void* record) {
  auto* out = static_cast<VEK_Medium*>(record);
  *out = VEK_Medium{};
  std::int64_t labelFlags = 0;
  if (count < 19 || !Text(f[7], out->id, kVekMediumIdMax) ||
      !Text(f[3], out->description, kVekDescriptionMax) || !Number(f[5], &labelFlags) ||
      !Number(f[18], &out->number) || f[0] == nullptr || f[1] == nullptr) {
    *out = VEK_Medium{};
    return -1;
  }
  StrCopy(out->label, StrToUserLabel(static_cast<int>(labelFlags), f[0], f[1]),
          sizeof out->label - 1);
  return 0;
}

int cmp_version_desc(const void* x, const void* y) {
  return cmp_version_asc(y, x);
}

int cmp_version_asc(const void* x, const void* y) {
  const std::int64_t a = VEK_VersionTime(*static_cast<const VEK_Version*>(x));
  const std::int64_t b = VEK_VersionTime(*static_cast<const VEK_Version*>(y));
  return a < b ? -1 : (a > b ? 1 : 0);
}

void VEK_FreeArray(int count, void* records, int size, void (*freeRecord)(void*)) {
  if (records == nullptr) return;
  if (freeRecord != nullptr && size > 0)
    for (int i = 0; i < count; ++i) freeRecord(static_cast<char*>(records) + i * size);
  safe_free(records, rcsId, __LINE__);
}

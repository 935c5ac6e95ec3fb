// A trivial vendor library for the stand-in DB2's tests. Objects are files in
// the folder named by the options block ("dir=<path>" lines); further lines
// make it misbehave:
//   fault=<crash|hang|rc|short|overclaim|corrupt>  at=<init|put|get|end>
//   rc=<n> (for fault=rc)   seq=<sequence> (only that session; default all)
//   env=<path>  writes the session's environment there, one variable a line
//   chatter=1   prints to standard output in every call
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "db2/sqluv.h"

namespace {

struct Settings {
  std::string dir, fault, at, seq, env;
  bool chatter = false;
  int rc = SQLUV_IO_ERROR;
};

struct Control {
  char action = 'W';
  int fd = -1;
  std::string part, final;
  std::vector<std::string> objects;
  int openObject = -1;
  Settings settings;
  std::string sequence;
};

Settings Parse(const Init_input* in) {
  Settings s;
  if (in->options == nullptr) return s;
  std::string text(static_cast<const char*>(in->options),
                   strnlen(static_cast<const char*>(in->options), in->size_options_full));
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t nl = text.find('\n', at);
    std::string line = text.substr(at, nl == std::string::npos ? std::string::npos : nl - at);
    std::size_t eq = line.find('=');
    if (eq != std::string::npos) {
      std::string k = line.substr(0, eq), v = line.substr(eq + 1);
      if (k == "dir") s.dir = v;
      if (k == "fault") s.fault = v;
      if (k == "at") s.at = v;
      if (k == "seq") s.seq = v;
      if (k == "env") s.env = v;
      if (k == "chatter") s.chatter = v == "1";
      if (k == "rc") s.rc = std::atoi(v.c_str());
    }
    if (nl == std::string::npos) break;
    at = nl + 1;
  }
  return s;
}

// True when the fault applies here; crash and hang never return.
bool Fault(const Settings& s, const std::string& sequence, const char* where) {
  if (s.fault.empty() || s.at != where || (!s.seq.empty() && s.seq != sequence)) return false;
  if (s.fault == "crash") ::raise(SIGSEGV);
  if (s.fault == "hang")
    for (;;) ::pause();
  return true;
}

Vendor_info* Info() {
  static char empty[] = "";
  static Vendor_info info{empty, empty, empty, empty, empty, 0, 0};
  return &info;
}

bool WriteAll(int fd, const char* p, std::size_t n) {
  while (n > 0) {
    ssize_t w = ::write(fd, p, n);
    if (w <= 0) return false;
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int sqluvint(Init_input* in, Init_output* out,
                                                    Return_code* rc) {
  Settings s = Parse(in);
  DB2_info* i = in->DB2_session;
  std::string sequence = i->sequence;
  static const char kChatter[] = "init 0 0\nhello from the library\n";
  if (s.chatter) WriteAll(1, kChatter, sizeof kChatter - 1);
  if (Fault(s, sequence, "init")) return rc->return_code = s.rc;
  if (!s.env.empty()) {
    int fd = ::open(s.env.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    for (char** e = environ; fd >= 0 && *e != nullptr; ++e) {
      WriteAll(fd, *e, std::strlen(*e));
      WriteAll(fd, "\n", 1);
    }
    if (fd >= 0) ::close(fd);
  }
  auto* c = new Control;
  c->settings = s;
  c->sequence = sequence;
  c->action = i->action[0];
  std::string prefix = std::string(i->db2instance) + ":" + i->alias + "#" +
                       std::to_string(i->nodeNum) + ":" + i->timestamp + ":";
  out->vendor_session = Info();
  if (c->action == 'W') {
    c->final = s.dir + "/" + prefix + i->type + ":" + sequence;
    c->part = c->final + ".part";
    c->fd = ::open(c->part.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (c->fd < 0) {
      delete c;
      return rc->return_code = SQLUV_INIT_FAILED;
    }
  } else {
    if (DIR* d = ::opendir(s.dir.c_str())) {
      while (dirent* e = ::readdir(d)) {
        std::string n = e->d_name;
        if (n.rfind(prefix, 0) == 0 && n.find(".part") == std::string::npos)
          c->objects.push_back(s.dir + "/" + n);
      }
      ::closedir(d);
    }
    std::sort(c->objects.begin(), c->objects.end());
    if (c->objects.empty()) {
      delete c;
      return rc->return_code = SQLUV_OBJ_NOT_FOUND;
    }
    Info()->num_objects_in_backup = static_cast<std::int32_t>(c->objects.size());
  }
  out->pVendorCB = c;
  return rc->return_code = SQLUV_OK;
}

__attribute__((visibility("default"))) int sqluvput(void* cb, Data* data, Return_code*) {
  auto* c = static_cast<Control*>(cb);
  if (c->settings.chatter) WriteAll(1, "data 0 0\n", 9);
  if (Fault(c->settings, c->sequence, "put")) return c->settings.rc;
  if (!WriteAll(c->fd, data->dataptr, static_cast<std::size_t>(data->buff_size)))
    return SQLUV_IO_ERROR;
  data->actual_buf_size = data->buff_size;
  return SQLUV_OK;
}

__attribute__((visibility("default"))) int sqluvget(void* cb, Data* data, Return_code* rc) {
  auto* c = static_cast<Control*>(cb);
  if (data->obj_num < 0 || data->obj_num >= static_cast<int>(c->objects.size()))
    return rc->return_code = SQLUV_OBJ_NOT_FOUND;
  if (c->openObject != data->obj_num) {
    if (c->fd >= 0) ::close(c->fd);
    c->fd =
        ::open(c->objects[static_cast<std::size_t>(data->obj_num)].c_str(), O_RDONLY | O_CLOEXEC);
    c->openObject = data->obj_num;
    if (c->fd < 0) return rc->return_code = SQLUV_IO_ERROR;
  }
  bool fault = Fault(c->settings, c->sequence, "get");
  if (fault && c->settings.fault == "rc") return rc->return_code = c->settings.rc;
  if (fault && c->settings.fault == "short") {
    // Ends the object early: the first buffer's worth is all DB2 gets.
    ssize_t n = ::read(c->fd, data->dataptr, static_cast<std::size_t>(data->buff_size) / 2);
    data->actual_buf_size = n > 0 ? static_cast<std::int32_t>(n) : 0;
    return rc->return_code = n > 0 ? SQLUV_ENDOFMEDIA : SQLUV_ENDOFMEDIA_NO_DATA;
  }
  std::size_t got = 0;
  while (got < static_cast<std::size_t>(data->buff_size)) {
    ssize_t n = ::read(c->fd, data->dataptr + got, static_cast<std::size_t>(data->buff_size) - got);
    if (n < 0) return rc->return_code = SQLUV_IO_ERROR;
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  if (fault && c->settings.fault == "corrupt" && got > 70) data->dataptr[70] ^= 0x5A;
  data->actual_buf_size = static_cast<std::int32_t>(got);
  if (fault && c->settings.fault == "overclaim") data->actual_buf_size = data->buff_size + 100;
  int r = got == 0                                           ? SQLUV_ENDOFMEDIA_NO_DATA
          : got == static_cast<std::size_t>(data->buff_size) ? SQLUV_MORE_DATA
                                                             : SQLUV_ENDOFMEDIA;
  return rc->return_code = r;
}

__attribute__((visibility("default"))) int sqluvend(std::int32_t action, void* cb, Init_output*,
                                                    Return_code* rc) {
  auto* c = static_cast<Control*>(cb);
  int r = SQLUV_OK;
  if (Fault(c->settings, c->sequence, "end")) r = c->settings.rc;
  if (c->fd >= 0) ::close(c->fd);
  if (c->action == 'W') {
    if (action == SQLUV_COMMIT && r == SQLUV_OK) {
      if (::rename(c->part.c_str(), c->final.c_str()) != 0) r = SQLUV_COMMIT_FAILED;
    } else {
      ::unlink(c->part.c_str());
    }
  }
  delete c;
  return rc->return_code = r;
}

// Removes every committed object of the image; -1 when there is none.
__attribute__((visibility("default"))) int sqluvdel(Init_input* in, Init_output*, Return_code* rc) {
  Settings s = Parse(in);
  const DB2_info* i = in->DB2_session;
  std::string prefix = std::string(i->db2instance) + ":" + i->alias + "#" +
                       std::to_string(i->nodeNum) + ":" + i->timestamp + ":";
  int removed = 0;
  if (DIR* d = ::opendir(s.dir.c_str())) {
    while (const dirent* e = ::readdir(d)) {
      std::string name = e->d_name;
      if (name.rfind(prefix, 0) == 0 && !name.ends_with(".part") &&
          ::unlink((s.dir + "/" + name).c_str()) == 0)
        ++removed;
    }
    ::closedir(d);
  }
  rc->return_code = removed > 0 ? SQLUV_OK : SQLUV_OBJ_NOT_FOUND;
  return removed > 0 ? 0 : -1;
}

}  // extern "C"

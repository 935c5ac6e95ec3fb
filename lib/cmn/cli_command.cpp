// Interactive command mode: the operator answers a mount, cancel, abort,
// disconnect or continue request on the terminal within a time limit.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "cmn/cli.h"
#include "cmn/cmninit.h"
#include "cmn/ctx.h"
#include "cmn/dbg.h"
#include "cmn/erh.h"
#include "cmn/nls.h"
#include "cmn/str.h"
#include "cmn/user.h"

TARN_RCSID("lib/cmn/cli_command.cpp");

const CliKeyword fenComArr[5] = {
    {kCliCmdMount, "mou[nt", 0},           {kCliCmdAbort, "abo[rt", 0},
    {kCliCmdDisconnect, "dis[connect", 0}, {kCliCmdContinue, "con[tinue", 0},
    {kCliCmdCancel, "can[cel", 0},
};

int cliCommandModeTimeout = 30;

namespace {

constexpr size_t kLineMax = 255;

// Catalogue set 30: the command-mode texts.
constexpr int kSetCommandMode = 30;

void PrintCatalogue(int number) {
  int found = 0;
  std::printf("%s", NlsGetCatalogStringEx(kSetCommandMode, number, &found));
}

void Prompt(const char* text, int allowed) {
  PrintCatalogue(21);
  std::printf("%s", text != nullptr ? text : "");
  if ((allowed & kCliCmdAbort) != 0) PrintCatalogue(22);
  if ((allowed & kCliCmdCancel) != 0) PrintCatalogue(23);
  if ((allowed & kCliCmdMount) != 0) PrintCatalogue(24);
  if ((allowed & kCliCmdDisconnect) != 0) PrintCatalogue(25);
  PrintCatalogue(26);
  std::fflush(stdout);
}

// Points SIGALRM at toAlarmIntr for the prompt and puts the caller's action
// and the rest of the caller's alarm back afterwards.
class AlarmScope {
 public:
  AlarmScope() {
    struct sigaction action {};
    action.sa_handler = toAlarmIntr;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // the read must see the alarm
    sigaction(SIGALRM, &action, &old_);
    previous_ = alarm(0);
    start_ = std::time(nullptr);
  }
  ~AlarmScope() {
    alarm(0);
    sigaction(SIGALRM, &old_, nullptr);
    if (previous_ > 0) {
      const time_t spent = std::time(nullptr) - start_;
      const unsigned left = spent >= 0 && static_cast<time_t>(previous_) > spent
                                ? previous_ - static_cast<unsigned>(spent)
                                : 1;  // overdue: let it fire at once
      alarm(left);
    }
  }
  AlarmScope(const AlarmScope&) = delete;
  AlarmScope& operator=(const AlarmScope&) = delete;

 private:
  struct sigaction old_ {};
  unsigned previous_ = 0;
  time_t start_ = 0;
};

enum class ReadOutcome { kLine, kAlarm, kInterrupted, kFailed };

// One line of at most kLineMax characters from standard input.
ReadOutcome ReadAnswer(CmnContext* context, std::string* line) {
  context->alarmFlag = 0;
  alarm(cliCommandModeTimeout > 0 ? static_cast<unsigned>(cliCommandModeTimeout) : 1u);
  char buffer[kLineMax + 1];
  const ssize_t n = read(STDIN_FILENO, buffer, kLineMax);
  const int err = errno;
  alarm(0);
  if (n > 0) {
    line->assign(buffer, static_cast<size_t>(n));
    return ReadOutcome::kLine;
  }
  if (context->alarmFlag) {
    DbgPlain(kDbgDetail, "Alarm interrupt\n");
    return ReadOutcome::kAlarm;
  }
  errno = err;
  if (n < 0 && err == EINTR && isatty(STDIN_FILENO)) {
    if (commandModeSet) DbgPlain(kDbgDetail, "CTRL-C interrupt\n");
    return ReadOutcome::kInterrupted;
  }
  return ReadOutcome::kFailed;
}

const char* CommandLogLine(int id) {
  switch (id) {
    case kCliCmdMount: return "Command mode-> mount\n";
    case kCliCmdAbort: return "Command mode-> abort\n";
    case kCliCmdDisconnect: return "Command mode-> disconnect\n";
    case kCliCmdContinue: return "Command mode-> continue\n";
    default: return "Command mode-> cancel \n";
  }
}

// Splits off the next blank-separated word of `text` from `*pos`.
std::string NextWord(const std::string& text, size_t* pos) {
  const size_t start = text.find_first_not_of(" \t", *pos);
  if (start == std::string::npos) {
    *pos = text.size();
    return {};
  }
  const size_t end = text.find_first_of(" \t", start);
  *pos = end == std::string::npos ? text.size() : end;
  return text.substr(start, *pos - start);
}

}  // namespace

void toAlarmIntr(int) {
  auto* context = static_cast<CmnContext*>(CmnGetContextEx(pcmnMasterContext, CMN_SLOT_CMN));
  if (context != nullptr) context->alarmFlag = 1;
}

int CliCommandMode(const char* text, int allowed, char* second) {
  if (!isatty(STDIN_FILENO)) {
    CliErhReport(ErhSysErrnoToText(errno));
    return kCliCmdContinue;
  }
  CmnContext* context = CmnGetContext();
  if (context == nullptr) return kCliCmdContinue;
  int result = kCliCmdContinue;
  {
    AlarmScope alarmScope;
    for (;;) {
      Prompt(text, allowed);
      std::string line;
      const ReadOutcome outcome = ReadAnswer(context, &line);
      if (outcome == ReadOutcome::kAlarm) {
        PrintCatalogue(27);
        result = kCliCmdContinue;
        break;
      }
      if (outcome == ReadOutcome::kInterrupted) {
        result = kCliCmdInterrupted;
        break;
      }
      if (outcome == ReadOutcome::kFailed) {
        CliErhReport(ErhSysErrnoToText(errno));
        result = kCliCmdContinue;
        break;
      }
      if (!line.empty() && line.back() == '\n') line.pop_back();
      size_t pos = 0;
      const std::string keyword = NextWord(line, &pos);
      DbgPlain(kDbgDetail, "Command mode-> Read keyword: %s\n", keyword.c_str());
      if (keyword.empty()) continue;
      const int id = CliKwLookup(keyword.c_str(), fenComArr, 5, nullptr);
      if (id < 0) {
        DbgPlain(kDbgDetail, "Command mode-> Option not known\n");
        continue;
      }
      if (id != kCliCmdContinue && (allowed & id) == 0) continue;
      if (id == kCliCmdMount || id == kCliCmdCancel) {
        const std::string argument = NextWord(line, &pos);
        if (argument.empty()) continue;
        if (second != nullptr) StrCopy(second, argument.c_str(), kCliSecondWordMax);
      }
      DbgPlain(kDbgDetail, "%s", CommandLogLine(id));
      result = id;
      break;
    }
  }
  PrintCatalogue(result == kCliCmdInterrupted ? 28 : 20);
  std::fflush(stdout);
  commandModeSet = 0;
  return result;
}

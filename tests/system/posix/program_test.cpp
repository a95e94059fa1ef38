// The program run as a user runs it: standard output to a full device, a
// closed pipe, a reader that stops reading; signals on the way.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <clocale>
#include <cstdlib>
#include <cwchar>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "launch.h"
#include "temp_folder.h"

namespace quorrex::testing {
namespace {

TEST(ProgramOutput, AFailedWriteStopsTheWalkWithCodeFour) {
  const struct {
    Out out;
    const char* err;
  } cases[] = {
      {Out::kFull, "output failed (DISK_FULL) -> abort\n"},
      {Out::kClosed, "output failed (INVALID_HANDLE) -> abort\n"},
      // The reader went away (`| head`): nothing to tell anyone.
      {Out::kClosedPipe, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.err);
    // The whole system: a walk that did not stop at the failure would run
    // into the 20 s limit and end by SIGKILL.
    const Ended ended = Launch({"/*.none", "-s"}, c.out);
    EXPECT_EQ(ended.code, 4);
    EXPECT_EQ(ended.err, c.err);
  }
}

TEST(ProgramOutput, ASignalEndsARunWhoseReaderStoppedReading) {
  TempFolder root;
  // Far more listing than a pipe holds.
  for (int i = 0; i < 4000; ++i) {
    ASSERT_TRUE(root.Link(std::string("link-") + std::to_string(i),
                          std::string("/a/target/of/some/length/") + std::to_string(i)));
  }
  for (const int sig : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(sig);
    // Signalled once the first of the listing is in the pipe; a run that
    // waited for the reader would be killed at the deadline instead.
    const Ended ended = Launch({root.path(), "-s"}, Out::kStalledPipe, sig, kWhenOutputBegins);
    EXPECT_FALSE(ended.timedOut);
    EXPECT_EQ(ended.code, 3);
    EXPECT_EQ(ended.err, "");
  }
}

TEST(ProgramStart, StartFolders) {
  TempFolder root;
  ASSERT_TRUE(root.Folder("dir"));
  ASSERT_TRUE(root.Folder("dir/*"));  // a subfolder literally named "*"
  ASSERT_TRUE(root.Link("dir/link", "target"));
  const std::string gone = root.At("gone");
  const auto leaveDeleted = [&] {
    (void)!mkdir(gone.c_str(), 0755), (void)!chdir(gone.c_str()), (void)!rmdir(gone.c_str());
  };
  const std::string dir = root.At("dir");
  const std::string listed = "reparse point (symlink) " + dir + "/link\n -> target\n";
  // A folder 6,400 bytes below the temporary folder, past PATH_MAX, made one
  // level at a time; a link at its bottom.
  std::vector<std::string> levels;
  std::string deepRelative;
  for (int i = 0; i < 63; ++i) {
    levels.push_back(std::string("d") + std::to_string(100 + i) + std::string(96, 'x'));
    deepRelative += (i == 0 ? "" : "/") + levels.back();
  }
  {
    int fd = open(root.path().c_str(), O_RDONLY | O_DIRECTORY);
    for (const auto& level : levels) {
      (void)!mkdirat(fd, level.c_str(), 0755);
      const int next = openat(fd, level.c_str(), O_RDONLY | O_DIRECTORY);
      close(fd);
      fd = next;
    }
    ASSERT_EQ(symlinkat("far", fd, "link"), 0);
    close(fd);
  }
  const std::string deep = root.At(deepRelative);
  const std::string deepListed = "reparse point (symlink) " + deep + "/link\n -> far\n";
  const auto enterDeep = [&] {
    (void)!chdir(root.path().c_str());
    for (const auto& level : levels) (void)!chdir(level.c_str());
  };
  const struct {
    const char* name;
    std::vector<std::string> args;
    std::function<void()> inChild;
    int code;
    std::string part;  // a part of standard output
  } cases[] = {
      {"absolute folder holding a '*' folder", {dir}, {}, 0, listed},
      {"relative folder", {"dir"}, [&] { (void)!chdir(root.path().c_str()); }, 0, listed},
      {"relative current folder", {"."}, [&] { (void)!chdir(dir.c_str()); }, 0, listed},
      {"deleted current folder, options alone",
       {"-s"},
       leaveDeleted,
       11,
       "folder not found -> abort\n"},
      {"deleted current folder, relative name",
       {"etc"},
       leaveDeleted,
       11,
       "folder not found -> abort\n"},
      {"absolute folder past PATH_MAX", {deep}, {}, 0, deepListed},
      {"relative folder past PATH_MAX",
       {deepRelative, "-s"},
       [&] { (void)!chdir(root.path().c_str()); },
       0,
       deepListed},
      {"current folder past PATH_MAX", {"-s"}, enterDeep, 0, deepListed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Ended ended = Launch(c.args, Out::kFile, 0, 0, c.inChild);
    EXPECT_EQ(ended.code, c.code);
    EXPECT_NE(ended.out.find(c.part), std::string::npos) << ended.out;
  }
  // Too deep for the temporary folder's own clean-up.
  ASSERT_EQ(std::system(("rm -rf '" + root.At(levels.front()) + "'").c_str()), 0);
}

// Runs the program with standard output on a terminal `columns` wide; what
// the terminal received, without its CRs. With a `format`, QUORREX_FORMAT is
// set to it and standard error goes to the terminal too.
std::string OnTerminal(const std::vector<std::string>& args, int columns,
                       const char* format = nullptr) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return {};
  const int terminal = open(ptsname(master), O_RDWR | O_NOCTTY);
  struct winsize size {};
  size.ws_col = static_cast<unsigned short>(columns);
  size.ws_row = 24;
  ioctl(terminal, TIOCSWINSZ, &size);
  const pid_t child = fork();
  if (child == 0) {
    dup2(terminal, 1);
    if (format != nullptr) {
      dup2(terminal, 2);
      setenv("QUORREX_FORMAT", format, 1);
    }
    std::vector<char*> argv{const_cast<char*>(QUORREX_PROGRAM)};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(QUORREX_PROGRAM, argv.data());
    _exit(127);
  }
  close(terminal);
  std::string text;
  char chunk[4096];
  ssize_t got = 0;
  while ((got = read(master, chunk, sizeof chunk)) > 0)
    text.append(chunk, static_cast<size_t>(got));
  waitpid(child, nullptr, 0);
  close(master);
  std::string plain;
  for (char c : text) {
    if (c != '\r') plain.push_back(c);
  }
  return plain;
}

// Display columns of a UTF-8 line, as a terminal counts them.
int Columns(const std::string& line) {
  std::setlocale(LC_CTYPE, "C.UTF-8");
  std::mbstate_t state{};
  int columns = 0;
  const char* p = line.data();
  const char* end = p + line.size();
  while (p < end) {
    wchar_t c = 0;
    const size_t n = std::mbrtowc(&c, p, static_cast<size_t>(end - p), &state);
    if (n == 0 || n > static_cast<size_t>(end - p)) return -1;
    columns += wcwidth(c) < 0 ? 1 : wcwidth(c);
    p += n;
  }
  return columns;
}

TEST(ProgramTerminal, ControlCharactersAndColumns) {
  TempFolder root;
  ASSERT_TRUE(root.Folder("ctl"));
  ASSERT_TRUE(
      root.Link("ctl/a\x1b[2Jb\x07"
                "c\x7f",
                "t\xc2\x9b"
                "1m"));
  ASSERT_TRUE(root.Link("ctl/bad\xffname", "t\xfe\xc3"));  // bytes that are not UTF-8
  std::string wide;                                        // 30 CJK characters: 60 columns
  std::string marked;  // 60 letters with a combining accent: 60 columns
  for (int i = 0; i < 30; ++i) wide += "\xe4\xb8\xad";
  for (int i = 0; i < 60; ++i) marked += "e\xcc\x81";
  ASSERT_TRUE(root.Folder("wide"));
  ASSERT_TRUE(root.Link("wide/" + wide, "x"));
  ASSERT_TRUE(root.Link("wide/" + marked, "y"));

  const std::string shown = OnTerminal({root.At("ctl")}, 200);
  EXPECT_NE(shown.find("/a?[2Jb?c?\n -> t?1m\n"), std::string::npos) << shown;
  EXPECT_EQ(shown.find('\x1b'), std::string::npos);
  EXPECT_NE(shown.find("/bad?name\n -> t??\n"), std::string::npos) << shown;
  EXPECT_EQ(shown.find_first_of("\xff\xfe"), std::string::npos);

  // The records escape what the text masks; a wrong setting is masked.
  const std::string records = OnTerminal({root.At("ctl")}, 200, "json");
  EXPECT_NE(records.find(R"(/a\u001b[2Jb\u0007c\u007f")"), std::string::npos) << records;
  EXPECT_NE(records.find(R"("t\u009b1m")"), std::string::npos) << records;
  EXPECT_EQ(records.find_first_of("\x1b\x07\x7f"), std::string::npos) << records;
  EXPECT_EQ(records.find("\xc2\x9b"), std::string::npos) << records;
  const std::string wrong = OnTerminal({root.At("ctl")}, 200,
                                       "x\x1b]0;t\x07\xc2\x9d"
                                       "2J");
  EXPECT_NE(wrong.find("QUORREX_FORMAT=x?]0;t??2J is not a format"), std::string::npos) << wrong;
  EXPECT_EQ(wrong.find_first_of("\x1b\x07\x7f"), std::string::npos) << wrong;

  const std::string fitted = OnTerminal({root.At("wide"), "-1"}, 60);
  size_t lines = 0;
  size_t start = 0;
  for (size_t end = fitted.find('\n'); end != std::string::npos;
       start = end + 1, end = fitted.find('\n', start)) {
    const std::string line = fitted.substr(start, end - start);
    EXPECT_LT(Columns(line), 60) << line;
    if (line.find("...") != std::string::npos) ++lines;
    // No accent is left without its letter.
    EXPECT_EQ(line.find("...\xcc\x81"), std::string::npos) << line;
  }
  EXPECT_EQ(lines, 2u) << fitted;
  // The same names redirected keep every byte.
  const Ended plain = Launch({root.At("ctl")}, Out::kFile);
  EXPECT_NE(plain.out.find("/a\x1b[2Jb\x07"
                           "c\x7f\n -> t\xc2\x9b"
                           "1m\n"),
            std::string::npos);
  EXPECT_NE(plain.out.find("/bad\xffname\n -> t\xfe\xc3\n"), std::string::npos);
}

TEST(ProgramStart, WithoutProcTheVolumeComesFromTheDevice) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  // The sanitizers' runtime reads its options and the process's threads
  // through /proc, and ends the program with an error when it cannot.
  GTEST_SKIP() << "a sanitizer's runtime needs /proc";
#endif
  TempFolder root;
  ASSERT_TRUE(root.Link("l", "t"));
  const std::string script =
      "umount -l /proc 2>/dev/null && ! test -e /proc/self/mountinfo && exec '" +
      std::string(QUORREX_PROGRAM) + "' '" + root.path() + "'";
  if (std::system("unshare -m true 2>/dev/null") != 0) GTEST_SKIP() << "unshare -m not permitted";
  const Ended ended = Launch({}, Out::kFile, 0, 0, [&] {
    execl("/usr/bin/unshare", "unshare", "-m", "sh", "-c", script.c_str(), nullptr);
    _exit(126);
  });
  if (ended.code == 126) GTEST_SKIP() << "no unshare";
  EXPECT_EQ(ended.code, 0) << ended.out;
  EXPECT_NE(ended.out.find("reparse point (symlink) " + root.At("l") + "\n"), std::string::npos);
}

// Real mounts, made in a mount namespace of the program's own: a tmpfs, a
// bind mount of a folder beside the scan folder, and the scan folder bound
// into itself. A mount that matches is reported and not entered; one that
// does not is entered, once. Without /proc a device change alone tells.
TEST(ProgramMounts, ReportedAsVolumesAndJunctions) {
  TempFolder root;
  ASSERT_TRUE(root.Folder("scan") && root.Folder("scan/vol") && root.Folder("scan/bound") &&
              root.Folder("scan/self") && root.Folder("real") && root.Link("real/ln", "t"));
  const std::string scan = root.At("scan");
  const std::string setUp = "mount -t tmpfs qxvol '" + scan + "/vol' && ln -s t '" + scan +
                            "/vol/ln' && mount --bind '" + root.At("real") + "' '" + scan +
                            "/bound' && mount --bind '" + scan + "' '" + scan + "/self'";
  if (std::system(("unshare -m sh -c \"" + setUp + "\" 2>/dev/null").c_str()) != 0) {
    GTEST_SKIP() << "mounts in a private mount namespace are refused here";
  }
  const std::string junctions = "    - 1 volume mount point\n    - 2 directory junction points\n";
  struct Case {
    const char* pattern;
    bool hideProc;
    std::vector<std::string> present, absent;
  };
  const std::vector<Case> cases = {
      {"*",
       false,
       {"reparse point (volume mountpoint) " + scan + "/vol\n -> qxvol (tmpfs)\n",
        "reparse point (directory mountpoint) " + scan + "/bound\n -> " + root.At("real") + "\n",
        "reparse point (directory mountpoint) " + scan + "/self\n -> " + scan + "\n", junctions},
       {"/ln\n", "skip folder"}},
      {"ln",
       false,
       {"reparse point (symlink) " + scan + "/vol/ln\n",
        "reparse point (symlink) " + scan + "/bound/ln\n",
        "folder loops back to a parent -> skip folder self\n", "  + 0 mount points:\n"},
       {"mountpoint"}},
      {"*",
       true,
       {"reparse point (volume mountpoint) " + scan + "/vol\n -> device (tmpfs)\n",
        "folder loops back to a parent -> skip folder self\n", "  + 1 mount point:\n"},
       {"directory mountpoint", "/vol/ln"}},
  };
  for (const Case& c : cases) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    if (c.hideProc) continue;  // a sanitizer's runtime needs /proc
#endif
    SCOPED_TRACE(std::string(c.pattern) + (c.hideProc ? " without /proc" : ""));
    std::string outputs[2];
    for (const int workers : {1, 4}) {
      const std::string script = setUp + (c.hideProc ? " && mount -t tmpfs none /proc" : "") +
                                 " && QUORREX_WORKERS=" + std::to_string(workers) + " exec '" +
                                 QUORREX_PROGRAM + "' '" + scan + "/" + c.pattern + "' -s";
      const Ended ended = Launch({}, Out::kFile, 0, 0, [&] {
        execl("/usr/bin/unshare", "unshare", "-m", "sh", "-c", script.c_str(), nullptr);
        _exit(126);
      });
      ASSERT_EQ(ended.code, 0) << ended.err;
      outputs[workers == 4] = ended.out;
      // Each run mounts a new volume: its device number is whichever was
      // free then, and other programs on the machine may have taken one.
      std::string& out = outputs[workers == 4];
      const size_t device = out.find("/vol\n -> ");
      const size_t type = out.find(" (tmpfs)", device);
      if (c.hideProc && device != std::string::npos && type != std::string::npos) {
        const std::string number = out.substr(device + 9, type - device - 9);
        EXPECT_EQ(number.find_first_not_of("0123456789:"), std::string::npos) << number;
        EXPECT_NE(number.find(':'), std::string::npos) << number;
        out.replace(device + 9, number.size(), "device");
      }
    }
    for (const std::string& text : c.present) {
      EXPECT_NE(outputs[0].find(text), std::string::npos) << text << "\nin\n" << outputs[0];
    }
    for (const std::string& text : c.absent) {
      EXPECT_EQ(outputs[0].find(text), std::string::npos) << text << "\nin\n" << outputs[0];
    }
    EXPECT_EQ(outputs[0], outputs[1]);
  }
}

TEST(ProgramSignals, NameTheSignalAndEndTheRunWithCodeThree) {
  const struct {
    int sig;
    const char* message;
  } cases[] = {
      {SIGINT, "\nSIGINT received -> abort\n"},
      {SIGQUIT, "\nSIGQUIT received -> abort\n"},
      {SIGHUP, "\nSIGHUP received -> abort\n"},
      {SIGTERM, "\nSIGTERM received -> abort\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    // The whole system with a pattern that matches nothing: a long, quiet walk.
    const Ended ended = Launch({"/*.none", "-s"}, Out::kFile, c.sig, kWhenOutputBegins);
    EXPECT_FALSE(ended.timedOut);
    EXPECT_EQ(ended.code, 3);
    EXPECT_NE(ended.out.find(c.message), std::string::npos) << ended.out;
    EXPECT_NE(ended.out.find("\nsummary\n"), std::string::npos);
  }
}

}  // namespace
}  // namespace quorrex::testing

// The OMNIKEY switch through the real PC/SC service: a private pcscd whose
// readers are served by the recording driver built with the tests
// (support/ifd_recorder), so the codes and bytes checked are those a reader
// driver receives. pcscd hands drivers an output buffer of its own size, so
// the engine's 200-byte buffer is pinned by the tests on the fake only.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "platform/pcsc.h"
#include "tests/support/temp_dir.h"
#include "updater/engine.h"
#ifdef QUORVEL_DIALOG_SWITCH
#include "dialog/dialog_engine.h"
#endif

namespace {

using testing_support::ReadFile, testing_support::TempDir, testing_support::WriteFile;
using Names = std::vector<std::string>;

// Daemons live in sbin, which an unprivileged PATH may leave out.
std::string FindProgram(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::istringstream folders(std::string(path != nullptr ? path : "") + ":/usr/sbin:/sbin");
  for (std::string folder; std::getline(folders, folder, ':');)
    if (!folder.empty() && ::access((folder + "/" + name).c_str(), X_OK) == 0) return folder + "/" + name;
  return "";
}

// The one place a test waits on real time: pcscd is an outside process. Every
// wait is bounded to a few seconds in 20 ms steps.
constexpr int kRealWaitSteps = 250;
void RealPause() { platform::RealClock().Sleep(20); }

// pcscd started by socket activation on a private socket, so it never meets a
// system pcscd at /run/pcscd. The activator listens at once and becomes pcscd
// (same process) on the first connection. Stopped and reaped on every path.
class PrivatePcscd {
 public:
  PrivatePcscd(const std::vector<std::string>& arguments, const std::string& log) {
    std::vector<char*> argv;
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    if (::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    ::posix_spawn_file_actions_destroy(&actions);
  }
  ~PrivatePcscd() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    for (int step = 0; step < kRealWaitSteps; ++step, RealPause())
      if (::waitpid(pid_, nullptr, WNOHANG) != 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  PrivatePcscd(const PrivatePcscd&) = delete;
  PrivatePcscd& operator=(const PrivatePcscd&) = delete;
  bool started() const { return pid_ > 0; }

 private:
  pid_t pid_ = -1;
};

// The activator binds the socket's file before it listens, so only a context
// that is established tells that the service is up.
std::unique_ptr<platform::pcsc::Context> WaitForService(platform::pcsc::Backend& service) {
  for (int step = 0; step < kRealWaitSteps; ++step, RealPause()) {
    if (std::unique_ptr<platform::pcsc::Context> context = service.EstablishContext()) return context;
  }
  return nullptr;
}

TEST(PcscdTest, OmnikeySwitchReachesOnlyTheOmnikeyReaderDrivers) {
  const std::string pcscd = FindProgram("pcscd");
  const std::string activator = FindProgram("systemd-socket-activate");
  if (pcscd.empty() || activator.empty()) GTEST_SKIP() << "pcscd or systemd-socket-activate is not installed";

  TempDir dir;
  const std::string socket = dir.File("pcscd.comm"), log = dir.File("pcscd.log"), record = dir.File("controls.txt");
  // pcsc-lite's client reads the socket's name once per process, at its
  // first call: from here on it is the private one.
  ::setenv("PCSCLITE_CSOCK_NAME", socket.c_str(), 1);
  platform::pcsc::SetBackend(nullptr);
  const std::shared_ptr<platform::pcsc::Backend> service = platform::pcsc::GetBackend();

  // No daemon yet: the context fails at once instead of waiting for one, and
  // the switch ends without a word.
  platform::RealClock clock;
  const uint32_t before = clock.TickCount();
  EXPECT_EQ(service->EstablishContext(), nullptr);
  ControlOmnikeyReaders(false);
  EXPECT_LT(clock.TickCount() - before, 2000u);

  // pcscd insists that each DEVICENAME exists; the driver records its file name.
  std::string conf;
  for (const auto& [friendly, device] : {std::pair{"OMNIKEY CardMan 5x21-CL", "omnikey-5x21"},
                                         {"HID Global OMNIKEY 5122CL Dual", "omnikey-5122"},
                                         {"Other Reader", "other"}}) {
    WriteFile(dir.File(device), "");
    conf += std::string("FRIENDLYNAME \"") + friendly + "\"\nDEVICENAME " + dir.File(device) +
            "\nLIBPATH " QUORVEL_IFD_RECORDER "\n\n";
  }
  WriteFile(dir.File("reader.conf"), conf);
  PrivatePcscd daemon(
      {activator, "-l", socket, "-E", "QUORVEL_IFD_RECORD=" + record, pcscd, "-f", "-c", dir.File("reader.conf")}, log);
  ASSERT_TRUE(daemon.started());
  {
    std::unique_ptr<platform::pcsc::Context> context = WaitForService(*service);
    ASSERT_NE(context, nullptr) << ReadFile(log);
    EXPECT_EQ(context->ListReaders(),
              (Names{"OMNIKEY CardMan 5x21-CL 00 00", "HID Global OMNIKEY 5122CL Dual 01 00", "Other Reader 02 00"}));
  }
  ControlOmnikeyReaders(false);
  std::string expected = "omnikey-5x21 0x42000c87 03 01\n";
#ifdef QUORVEL_DIALOG_SWITCH
  // The dialog's switch also takes the 5122CL Dual, by the CCID escape.
  DialogControlOmnikeyReaders(false);
  DialogControlOmnikeyReaders(true);
  expected +=
      "omnikey-5x21 0x42000c87 03 01\nomnikey-5122 0x42000001 ff 9a 04 00\n"
      "omnikey-5x21 0x42000c87 03 00\nomnikey-5122 0x42000001 ff 9a 04 01\n";
#endif
  ControlOmnikeyReaders(true);
  expected += "omnikey-5x21 0x42000c87 03 00\n";
  EXPECT_EQ(ReadFile(record), expected) << ReadFile(log);
}

}  // namespace

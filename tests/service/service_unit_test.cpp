// The service's pure parts: the unit file, error texts, notifications and
// the permission rule of the control channel's pause.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/service_manager.h"
#include "service/control_pipe.h"
#include "service/service_control.h"
#include "service_unit.h"

namespace {

std::string line_of(const std::string& text, const std::string& key) {
  size_t at = text.find("\n" + key + "=");
  if (at == std::string::npos) return std::string();
  size_t end = text.find('\n', at + 1);
  return text.substr(at + 1, end - at - 1);
}

TEST(ServiceUnit, NotifyServiceStartingTheQuotedExecutable) {
  std::string unit = format_service_unit("/opt/orvanel-tftp/harrier", "tftp");
  EXPECT_EQ(line_of(unit, "Description"), "Description=TFTP Server");
  EXPECT_EQ(line_of(unit, "Type"), "Type=notify");
  EXPECT_EQ(line_of(unit, "ExecStart"), "ExecStart=\"/opt/orvanel-tftp/harrier\"");
  // Never root: its own user, port 69 the only privilege, nothing of the
  // programs or of /etc writable.
  EXPECT_EQ(line_of(unit, "User"), "User=tftp");
  EXPECT_EQ(line_of(unit, "Group"), "Group=tftp");
  EXPECT_EQ(line_of(unit, "AmbientCapabilities"), "AmbientCapabilities=CAP_NET_BIND_SERVICE");
  EXPECT_EQ(line_of(unit, "CapabilityBoundingSet"), "CapabilityBoundingSet=CAP_NET_BIND_SERVICE");
  EXPECT_EQ(line_of(unit, "ReadWritePaths"), "");
  EXPECT_EQ(line_of(unit, "ProtectSystem"), "ProtectSystem=full");
  EXPECT_EQ(line_of(unit, "NoNewPrivileges"), "NoNewPrivileges=yes");
  EXPECT_EQ(line_of(unit, "RuntimeDirectory"), "RuntimeDirectory=orvanel-tftp");
  EXPECT_EQ(line_of(unit, "RuntimeDirectoryMode"), "RuntimeDirectoryMode=0755");
  EXPECT_EQ(line_of(unit, "PrivateTmp"), "PrivateTmp=yes");
  EXPECT_EQ(line_of(unit, "ProtectHome"), "ProtectHome=read-only");
  EXPECT_EQ(line_of(unit, "WantedBy"), "WantedBy=multi-user.target");
}

TEST(ServiceUnit, BlanksAndPercentSignsAreTakenLiterally) {
  std::string unit = format_service_unit("/opt/TFTP Server 100%/harrier", "tftp");
  EXPECT_EQ(line_of(unit, "ExecStart"), "ExecStart=\"/opt/TFTP Server 100%%/harrier\"");
}

TEST(ServiceUnit, PathsSystemdCannotRunAreRefused) {
  for (const char* path : {"", "harrier", "bin/harrier", "/opt/a\"b/harrier", "/opt/a\\b/harrier",
                           "/opt/it's/harrier", "/opt/new\nline/harrier", "/opt/tab\t/harrier"}) {
    EXPECT_EQ(format_service_unit(path, "tftp"), "") << path;
  }
  for (const char* user : {"", "a b", "a/b", "a\nUser=root"}) EXPECT_EQ(format_service_unit("/opt/h", user), "") << user;
}

// systemd's own checker agrees with the generator, also for a path with
// blanks, and rates the unit's exposure no worse than 4.4 (the unit of a
// root service with its capabilities cut, before it ran as its own user).
TEST(ServiceUnit, SystemdAcceptsTheUnit) {
  if (system("systemd-analyze --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "systemd-analyze not installed";
  char directory[] = "/tmp/unit test XXXXXX";
  ASSERT_NE(mkdtemp(directory), nullptr);
  std::string program = std::string(directory) + "/harrier 1%";
  std::string copy = "cp /bin/true '" + program + "'";
  ASSERT_EQ(system(copy.c_str()), 0);
  std::string unit_path = std::string(directory) + "/TFTPService.service";
  std::ofstream(unit_path) << format_service_unit(program, "tftp");
  std::string verify = "systemd-analyze verify '" + unit_path + "' > '" + directory + "/out' 2>&1";
  int rc = system(verify.c_str());
  std::ifstream in(std::string(directory) + "/out");
  std::string output((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(rc, 0) << output;
  EXPECT_EQ(output.find("TFTPService.service"), std::string::npos) << output;
  std::string security = "systemd-analyze security --offline=true '" + unit_path + "' > '" + directory +
                         "/security' 2>&1";
  rc = system(security.c_str());
  std::ifstream rated(std::string(directory) + "/security");
  std::string rating((std::istreambuf_iterator<char>(rated)), std::istreambuf_iterator<char>());
  size_t at = rating.find("Overall exposure level for TFTPService.service: ");
  ASSERT_NE(at, std::string::npos) << rating;
  double exposure = atof(rating.c_str() + at + strlen("Overall exposure level for TFTPService.service: "));
  printf("systemd-analyze security: exposure %.1f\n", exposure);
  EXPECT_GT(exposure, 0.0) << rating;
  EXPECT_LE(exposure, 4.4) << rating;
  std::string cleanup = std::string("rm -rf '") + directory + "'";
  EXPECT_EQ(system(cleanup.c_str()), 0);
}

TEST(LastErrorText, SystemTextAndNumberOrNothingWhenTooLong) {
  char buffer[LAST_ERROR_TEXT_SIZE];
  errno = ENOENT;
  EXPECT_STREQ(last_error_text(buffer, sizeof buffer), "No such file or directory (0x2)");
  errno = EEXIST;
  EXPECT_STREQ(last_error_text(buffer, sizeof buffer), "File exists (0x11)");
  // "No such file or directory" is 25 characters: it fits with 14 more, not with 13.
  errno = ENOENT;
  EXPECT_STREQ(last_error_text(buffer, 39), "No such file or directory (0x2)");
  errno = ENOENT;
  EXPECT_STREQ(last_error_text(buffer, 38), "");
}

TEST(ServiceNotification, EachStateAsTheManagerExpectsIt) {
  char text[160];
  format_service_notification(2, 7, 3000, 69, text, sizeof text);
  EXPECT_STREQ(text, "STATUS=Start pending, check point 7\nEXTEND_TIMEOUT_USEC=3000000\n");
  format_service_notification(4, 0, 0, 6969, text, sizeof text);
  EXPECT_STREQ(text, "READY=1\nSTATUS=Running, listening on TFTP port 6969\n");
  format_service_notification(3, 8, 3000, 69, text, sizeof text);
  EXPECT_STREQ(text, "STOPPING=1\nSTATUS=Stop pending, check point 8\nEXTEND_TIMEOUT_USEC=3000000\n");
  format_service_notification(1, 0, 0, 69, text, sizeof text);
  EXPECT_STREQ(text, "STATUS=Stopped\n");
}

// The rights a pause needs: replace the store's file, as the store does.
class PausePermission : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/pause-permission-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    directory = pattern;
    store = directory + "/hklm.reg";
    std::ofstream(store) << "REGEDIT4\r\n";
    setenv("ORVANEL_HKLM", store.c_str(), 1);
  }
  void TearDown() override {
    unsetenv("ORVANEL_HKLM");
    unlink(store.c_str());
    rmdir(directory.c_str());
  }
  void modes(uid_t owner, gid_t group, mode_t directory_mode, mode_t file_mode) {
    ASSERT_EQ(chown(directory.c_str(), owner, group), 0);
    ASSERT_EQ(chmod(directory.c_str(), directory_mode), 0);
    ASSERT_EQ(chown(store.c_str(), owner, group), 0);
    ASSERT_EQ(chmod(store.c_str(), file_mode), 0);
  }
  std::string directory, store;
};

TEST_F(PausePermission, OwnerGroupOthersAndRoot) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give files away";
  pipe_client root{0, 0, {}, 0};
  pipe_client owner{1000, 1000, {}, 0};
  pipe_client member{2000, 2000, {3000}, 1};
  pipe_client stranger{4000, 4000, {}, 0};
  modes(1000, 3000, 0755, 0644);
  EXPECT_TRUE(client_may_write_settings(&root));
  EXPECT_TRUE(client_may_write_settings(&owner));
  EXPECT_FALSE(client_may_write_settings(&member));
  EXPECT_FALSE(client_may_write_settings(&stranger));
  modes(1000, 3000, 0775, 0664);  // the group may write: a supplementary group counts
  EXPECT_TRUE(client_may_write_settings(&member));
  EXPECT_FALSE(client_may_write_settings(&stranger));
  modes(1000, 3000, 0775, 0644);  // a file the group may not write
  EXPECT_FALSE(client_may_write_settings(&member));
  modes(0, 0, 01777, 0666);  // sticky directory, file of another owner
  EXPECT_FALSE(client_may_write_settings(&stranger));
  EXPECT_TRUE(client_may_write_settings(&root));
}

}  // namespace

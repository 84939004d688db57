// The serial-port listing: the scan over a fake tty class tree, and the host list built once.
#include "base/serial_list.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

namespace {

// A temporary directory removed with the test.
class SerialListTest : public testing::Test {
  protected:
    void SetUp() override {
        char templ[] = "/tmp/vx_serial_XXXXXX";
        ASSERT_NE(mkdtemp(templ), nullptr);
        root_ = templ;
        fs::create_directory(root_ + "/class");
    }
    void TearDown() override { fs::remove_all(root_); }

    // A tty entry; with_device adds the `device` link, type (when given) the "type" attribute.
    void tty(const std::string& name, bool with_device, const char* type = nullptr) {
        std::string dir = root_ + "/class/" + name;
        fs::create_directory(dir);
        if (with_device) {
            fs::create_directories(root_ + "/hw/" + name);
            fs::create_directory_symlink(root_ + "/hw/" + name, dir + "/device");
        }
        if (type) std::ofstream(dir + "/type") << type;
    }

    std::vector<std::pair<std::string, std::string>> scan() {
        std::vector<std::pair<std::string, std::string>> r;
        SERIAL_PORT_INFO* list = scan_serial_ports((root_ + "/class").c_str(), "/dev");
        for (SERIAL_PORT_INFO* p = list; p; p = p->next)
            r.emplace_back(p->name, p->info);
        free_serial_port_list(list);
        return r;
    }

    std::string root_;
};

TEST_F(SerialListTest, ListsHardwarePortsInReverseScanOrder) {
    tty("ttyS1", true, "4\n");
    tty("ttyS0", true, "0\n");  // a legacy port without hardware
    tty("ttyS10", true, "4\n");
    tty("ttyS2", true, "4\n");
    tty("ttyUSB0", true);  // USB adapters have no type attribute
    tty("ttyACM0", true, "");
    tty("tty0", false);  // virtual console
    tty("console", false);
    std::vector<std::pair<std::string, std::string>> want = {{"ttyUSB0", "/dev/ttyUSB0"},
                                                             {"ttyS10", "/dev/ttyS10"},
                                                             {"ttyS2", "/dev/ttyS2"},
                                                             {"ttyS1", "/dev/ttyS1"},
                                                             {"ttyACM0", "/dev/ttyACM0"}};
    EXPECT_EQ(scan(), want);
}

TEST_F(SerialListTest, EmptyOrMissingTree) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_TRUE(scan().empty());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    testing::internal::CaptureStderr();
    EXPECT_EQ(scan_serial_ports((root_ + "/missing").c_str(), "/dev"), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "IOServiceGetMatchingServices returned 2\ncreateSerialIterator failed\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(SerialList, BuiltOnceAndSharedByAllCallers) {
    // The first calls race one another.
    std::vector<SERIAL_PORT_INFO*> seen(4, reinterpret_cast<SERIAL_PORT_INFO*>(1));
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; i++)
        threads.emplace_back([&seen, i] { seen[i] = lookup_serial_port(); });
    for (std::thread& t : threads)
        t.join();
    SERIAL_PORT_INFO* first = lookup_serial_port();
    for (SERIAL_PORT_INFO* p : seen)
        EXPECT_EQ(p, first);
    EXPECT_EQ(lookup_serial_port(), first);
    for (SERIAL_PORT_INFO* p = first; p; p = p->next)
        EXPECT_EQ(std::string(p->info), "/dev/" + std::string(p->name));
}

}  // namespace

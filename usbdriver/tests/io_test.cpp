// Pipe names, bulk writes in stages, reads through the read-ahead buffer,
// the control codes and cleanup.
#include "driver_fixture.h"

#include <cstring>

using namespace quidor_test;

namespace {

class PipeIo : public DriverTest {
protected:
    void SetUp() override {
        device_ = &plug(usb_);
        in_ = open("\\\\.\\halvornquidor\\pipe00");
        out_ = open("\\\\.\\halvornquidor\\pipe01");
    }
    std::size_t bulkUrbs() { return kernel_->urbCount(*device_, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER); }
    // Sends `bytes` from the device in transfers of `piece`.
    void deviceSends(const std::vector<std::uint8_t> &bytes, std::size_t piece) {
        for (std::size_t at = 0; at < bytes.size(); at += piece) {
            const std::size_t n = std::min(piece, bytes.size() - at);
            usb_.send(std::vector<std::uint8_t>(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                                                bytes.begin() + static_cast<std::ptrdiff_t>(at + n)));
        }
        kernel_->serviceBus(*device_);
    }

    ScriptedUsb usb_;
    kshim::Device *device_ = nullptr;
    std::unique_ptr<kshim::File> in_;
    std::unique_ptr<kshim::File> out_;
};

struct PipeNameCase {
    const char *suffix;
    NTSTATUS status;
    LONG pipe; // the pipe the handle names, when it opens
};

class PipeNames : public DriverTest, public ::testing::WithParamInterface<PipeNameCase> {};

TEST_P(PipeNames, OpenTheirPipe) {
    ScriptedUsb usb;
    kshim::Device &d = plug(usb);
    auto file = open(std::string("\\\\.\\halvornquidor") + GetParam().suffix, GetParam().status);
    if (GetParam().status == STATUS_SUCCESS) {
        ASSERT_NE(file, nullptr);
        EXPECT_EQ(reinterpret_cast<ULONG_PTR>(file->fileObject()->FsContext),
                  static_cast<ULONG_PTR>(GetParam().pipe + 1));
        EXPECT_EQ(extensionOf(d)->PipeOpen[GetParam().pipe], 1);
        file.reset();
        EXPECT_EQ(extensionOf(d)->PipeOpen[GetParam().pipe], 0);
    }
    EXPECT_EQ(extensionOf(d)->OpenHandleCount, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Names, PipeNames,
    ::testing::Values(PipeNameCase{"\\pipe00", STATUS_SUCCESS, 0}, PipeNameCase{"\\pipe0", STATUS_SUCCESS, 0},
                      PipeNameCase{"\\PIPE00", STATUS_SUCCESS, 0}, PipeNameCase{"\\x00", STATUS_SUCCESS, 0},
                      PipeNameCase{"\\pipe01", STATUS_SUCCESS, 1}, PipeNameCase{"\\1pipe", STATUS_SUCCESS, 1},
                      PipeNameCase{"\\pipe000000000001", STATUS_SUCCESS, 1},
                      PipeNameCase{"\\pipe07", STATUS_INVALID_PARAMETER, -1},
                      PipeNameCase{"\\pipe6", STATUS_INVALID_PARAMETER, -1},
                      PipeNameCase{"\\pipe99999999999999999999", STATUS_INVALID_PARAMETER, -1},
                      PipeNameCase{"\\pipe", STATUS_INVALID_PARAMETER, -1},
                      PipeNameCase{"\\pipe05", STATUS_INVALID_DEVICE_STATE, -1},
                      PipeNameCase{"\\pipe2", STATUS_INVALID_DEVICE_STATE, -1}));

TEST_F(DriverTest, OnlyTheFirstInterfacesEndpointsInTheirOrderArePipes) {
    UsbIdentity id;
    id.endpoints = {0x02, 0x81, 0x83};
    ScriptedUsb usb(id);
    kshim::Device &d = plug(usb);
    PUSBD_INTERFACE_INFORMATION info = extensionOf(d)->UsbInterface;
    ASSERT_EQ(info->NumberOfPipes, 3u);
    EXPECT_EQ(info->Pipes[0].EndpointAddress, 0x02);
    EXPECT_EQ(info->Pipes[1].EndpointAddress, 0x81);
    EXPECT_EQ(info->Pipes[2].EndpointAddress, 0x83);
    for (ULONG i = 0; i < 3; ++i) {
        EXPECT_EQ(info->Pipes[i].MaximumTransferSize, 4096u);
    }
    open("\\\\.\\halvornquidor\\pipe02");
    open("\\\\.\\halvornquidor\\pipe03", STATUS_INVALID_DEVICE_STATE);
}

TEST_F(PipeIo, WriteGoesOutInStagesOf2048) {
    const auto data = pattern(5000);
    ULONG_PTR written = 0;
    ASSERT_EQ(out_->write(data.data(), 5000, written), STATUS_SUCCESS);
    EXPECT_EQ(written, 5000u);
    EXPECT_EQ(usb_.outTransfers(), (std::vector<std::size_t>{2048, 2048, 904}));
    EXPECT_EQ(usb_.written(), data);
}

TEST_F(PipeIo, WriteLengthLimits) {
    std::vector<std::uint8_t> data(65537, 0x5A);
    ULONG_PTR written = 99;
    EXPECT_EQ(out_->write(data.data(), 0, written), STATUS_SUCCESS);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(out_->write(data.data(), 65537, written), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(bulkUrbs(), 0u);
    EXPECT_EQ(out_->write(data.data(), 65536, written), STATUS_SUCCESS);
    EXPECT_EQ(written, 65536u);
    EXPECT_EQ(usb_.outTransfers().size(), 32u);
}

TEST_F(PipeIo, TransferRecordsThatCannotBeAllocatedFailTheRequestOnly) {
    std::vector<std::uint8_t> data = pattern(100);
    ULONG_PTR n = 0;
    kshim::failPoolAllocations(QUIDOR_POOL_TAG, 0, 1);
    EXPECT_EQ(out_->write(data.data(), 100, n), STATUS_INSUFFICIENT_RESOURCES);
    kshim::failPoolAllocations(QUIDOR_POOL_TAG, 0, 1);
    EXPECT_EQ(in_->read(data.data(), 100, n), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(extensionOf(*device_)->OutStandingIO, 1);
    EXPECT_EQ(extensionOf(*device_)->ReadStageBusy, 0);
    EXPECT_EQ(out_->write(data.data(), 100, n), STATUS_SUCCESS);
    EXPECT_EQ(usb_.written(), data);
}

TEST_F(PipeIo, TransfersNeedABulkPipeOfTheirDirection) {
    std::vector<std::uint8_t> data(8);
    ULONG_PTR n = 0;
    EXPECT_EQ(in_->write(data.data(), 8, n), STATUS_INVALID_HANDLE);
    EXPECT_EQ(out_->read(data.data(), 8, n), STATUS_INVALID_HANDLE);
    auto device = open("\\\\.\\halvornquidor");
    EXPECT_EQ(device->read(data.data(), 8, n), STATUS_INVALID_HANDLE);
    EXPECT_EQ(device->write(data.data(), 8, n), STATUS_INVALID_HANDLE);
    EXPECT_EQ(bulkUrbs(), 0u);
}

TEST_F(PipeIo, ReadMode0LeavesTheRestForTheNextReadWithoutTheBus) {
    const auto data = pattern(2048);
    deviceSends(data, 2048);
    std::vector<std::uint8_t> first(64), second(1984);
    ULONG_PTR n = 0;
    ASSERT_EQ(in_->read(first.data(), 64, n), STATUS_SUCCESS);
    EXPECT_EQ(n, 64u);
    const std::size_t urbs = bulkUrbs();
    ASSERT_EQ(in_->read(second.data(), 1984, n), STATUS_SUCCESS);
    EXPECT_EQ(n, 1984u);
    EXPECT_EQ(bulkUrbs(), urbs);
    first.insert(first.end(), second.begin(), second.end());
    EXPECT_EQ(first, data);
}

TEST_F(PipeIo, ReadMode0CompletesOnlyWithTheWholeLength) {
    std::vector<std::uint8_t> buffer(3000);
    kshim::Request read = in_->startRead(buffer.data(), 3000);
    const auto data = pattern(3000, 7);
    deviceSends(std::vector<std::uint8_t>(data.begin(), data.begin() + 2048), 2048);
    EXPECT_FALSE(read.done());
    deviceSends(std::vector<std::uint8_t>(data.begin() + 2048, data.end()), 2048);
    ASSERT_TRUE(read.done());
    EXPECT_EQ(read.status(), STATUS_SUCCESS);
    EXPECT_EQ(read.information(), 3000u);
    EXPECT_EQ(buffer, data);
    EXPECT_GE(bulkUrbs(), 2u);
}

TEST_F(PipeIo, ReadMode1DeliversWhatHasArrivedAndKeepsTheRest) {
    ASSERT_EQ(setReadMode(1), STATUS_SUCCESS);
    std::vector<std::uint8_t> buffer(3000);
    kshim::Request read = in_->startRead(buffer.data(), 3000);
    deviceSends(pattern(100), 100);
    ASSERT_TRUE(read.done());
    EXPECT_EQ(read.information(), 100u);
    buffer.resize(100);
    EXPECT_EQ(buffer, pattern(100));

    deviceSends(pattern(300, 1), 300);
    std::vector<std::uint8_t> small(120);
    ULONG_PTR n = 0;
    ASSERT_EQ(in_->read(small.data(), 120, n), STATUS_SUCCESS);
    EXPECT_EQ(n, 120u);
    ASSERT_EQ(in_->read(buffer.data(), 3000, n), STATUS_SUCCESS);
    EXPECT_EQ(n, 180u);
}

// A device that streams far more than the read-ahead buffer holds, in
// transfers of odd sizes: every byte arrives once and in order.
class LongStream : public PipeIo, public ::testing::WithParamInterface<ULONG> {};

TEST_P(LongStream, ArrivesWholeAndInOrder) {
    ASSERT_EQ(setReadMode(GetParam()), STATUS_SUCCESS);
    const auto data = pattern(300000, 11);
    deviceSends(data, 1000);
    std::vector<std::uint8_t> got;
    std::vector<std::uint8_t> buffer(65536);
    while (got.size() < data.size()) {
        const auto want = static_cast<ULONG>(std::min<std::size_t>(65536, data.size() - got.size()));
        ULONG_PTR n = 0;
        ASSERT_EQ(in_->read(buffer.data(), want, n), STATUS_SUCCESS);
        ASSERT_GT(n, 0u);
        got.insert(got.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(n));
    }
    EXPECT_EQ(got, data);
    EXPECT_LE(extensionOf(*device_)->ReadAheadCount, static_cast<ULONG>(QUIDOR_READ_AHEAD_SIZE));
}

INSTANTIATE_TEST_SUITE_P(Modes, LongStream, ::testing::Values(0u, 1u));

TEST_F(PipeIo, ASecondReadWhileAStageIsOutIsRefused) {
    auto in2 = open("\\\\.\\halvornquidor\\pipe00");
    std::vector<std::uint8_t> a(16), b(16);
    kshim::Request first = in_->startRead(a.data(), 16);
    ULONG_PTR n = 0;
    EXPECT_EQ(in2->read(b.data(), 16, n), STATUS_DEVICE_BUSY);
    deviceSends(pattern(32), 32);
    ASSERT_TRUE(first.done());
    EXPECT_EQ(first.information(), 16u);
    ASSERT_EQ(in2->read(b.data(), 16, n), STATUS_SUCCESS); // from the read-ahead
    a.insert(a.end(), b.begin(), b.end());
    EXPECT_EQ(a, pattern(32));
}

TEST_F(PipeIo, CancelEndsAPendingReadWithNothing) {
    std::vector<std::uint8_t> buffer(16);
    kshim::Request read = in_->startRead(buffer.data(), 16);
    in_->cancelIo();
    ASSERT_TRUE(read.done());
    EXPECT_EQ(read.status(), STATUS_CANCELLED);
    EXPECT_EQ(read.information(), 0u);
    EXPECT_EQ(extensionOf(*device_)->OutStandingIO, 1);
    deviceSends(pattern(16), 16); // the next read is served again
    ULONG_PTR n = 0;
    ASSERT_EQ(in_->read(buffer.data(), 16, n), STATUS_SUCCESS);
    EXPECT_EQ(buffer, pattern(16));
}

TEST_F(PipeIo, CleanupDiscardsTheReadAhead) {
    deviceSends(pattern(100), 100);
    std::vector<std::uint8_t> buffer(10);
    ULONG_PTR n = 0;
    ASSERT_EQ(in_->read(buffer.data(), 10, n), STATUS_SUCCESS);
    EXPECT_EQ(extensionOf(*device_)->ReadAheadCount, 90u);
    open("\\\\.\\halvornquidor").reset();
    EXPECT_EQ(extensionOf(*device_)->ReadAheadCount, 0u);
}

TEST_F(PipeIo, CleanupCancelsOnlyTheHandlesHeldRequests) {
    auto other = open("\\\\.\\halvornquidor\\pipe01");
    ASSERT_EQ(kernel_->setDevicePower(*device_, PowerDeviceD2), STATUS_SUCCESS);
    std::vector<std::uint8_t> a(8), b(8, 0x11);
    kshim::Request mine = out_->startWrite(a.data(), 8);
    kshim::Request theirs = other->startWrite(b.data(), 8);
    out_.reset();
    ASSERT_TRUE(mine.done());
    EXPECT_EQ(mine.status(), STATUS_CANCELLED);
    EXPECT_FALSE(theirs.done());
    ASSERT_EQ(kernel_->setDevicePower(*device_, PowerDeviceD0), STATUS_SUCCESS);
    kshim::drainWorkItems();
    ASSERT_TRUE(theirs.done());
    EXPECT_EQ(theirs.information(), 8u);
    EXPECT_EQ(usb_.written(), b);
}

struct UlongCode {
    ULONG code;
    ULONG value;
};

class UlongCodes : public DriverTest, public ::testing::WithParamInterface<UlongCode> {};

TEST_P(UlongCodes, AnswerFourBytesAndRefuseLessRoom) {
    ScriptedUsb usb;
    plug(usb);
    auto device = open("\\\\.\\halvornquidor");
    ULONG value = 0;
    ULONG_PTR n = 0;
    EXPECT_EQ(device->control(GetParam().code, nullptr, 0, &value, 3, n), STATUS_BUFFER_TOO_SMALL);
    ASSERT_EQ(device->control(GetParam().code, nullptr, 0, &value, 4, n), STATUS_SUCCESS);
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(value, GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(Codes, UlongCodes,
                         ::testing::Values(UlongCode{0x220454, 0}, UlongCode{0x220458, 26800},
                                           UlongCode{0x220460, 0x10000}, UlongCode{0x220464, 0x10000},
                                           UlongCode{0x22046C, 5000}));

TEST_F(DriverTest, ControlCodes) {
    ScriptedUsb usb;
    kshim::Device &d = plug(usb);
    auto device = open("\\\\.\\halvornquidor");
    auto pipe = open("\\\\.\\halvornquidor\\pipe00");
    ULONG_PTR n = 0;
    std::vector<std::uint8_t> buffer(64);

    const ULONG total = extensionOf(d)->UsbConfigurationDescriptor->wTotalLength;
    EXPECT_EQ(total, 32u);
    EXPECT_EQ(device->control(IOCTL_QUIDOR_GET_CONFIG_DESCRIPTOR, nullptr, 0, buffer.data(), total - 1, n),
              STATUS_BUFFER_TOO_SMALL);
    ASSERT_EQ(device->control(IOCTL_QUIDOR_GET_CONFIG_DESCRIPTOR, nullptr, 0, buffer.data(), 64, n),
              STATUS_SUCCESS);
    EXPECT_EQ(n, total);
    EXPECT_EQ(std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + total), usb.getDescriptor(2, 0, 0));

    EXPECT_EQ(device->control(IOCTL_QUIDOR_GET_BUILD_DATE, nullptr, 0, buffer.data(), 20, n),
              STATUS_BUFFER_TOO_SMALL);
    ASSERT_EQ(device->control(IOCTL_QUIDOR_GET_BUILD_DATE, nullptr, 0, buffer.data(), 21, n), STATUS_SUCCESS);
    EXPECT_EQ(n, 21u);
    const std::string date(reinterpret_cast<const char *>(buffer.data()));
    EXPECT_EQ(date.size(), 20u);
    EXPECT_EQ(date[3], ' ');
    EXPECT_EQ(date[11], ' ');
    EXPECT_EQ(date[14], ':');

    ULONG mode = 1;
    EXPECT_EQ(device->control(IOCTL_QUIDOR_SET_READ_MODE, &mode, 3, nullptr, 0, n), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(device->control(IOCTL_QUIDOR_SET_READ_MODE, &mode, 4, nullptr, 0, n), STATUS_SUCCESS);
    EXPECT_EQ(n, 0u); // no room for the answer: nothing is written back
    ULONG echo = 0;
    EXPECT_EQ(device->control(IOCTL_QUIDOR_SET_READ_MODE, &mode, 4, &echo, 4, n), STATUS_SUCCESS);
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(echo, 1u);
    ULONG current = 0;
    EXPECT_EQ(pipe->control(IOCTL_QUIDOR_GET_READ_MODE, nullptr, 0, &current, 4, n), STATUS_SUCCESS);
    EXPECT_EQ(current, 1u);

    EXPECT_EQ(device->control(IOCTL_QUIDOR_RESET_PIPE, nullptr, 0, nullptr, 0, n), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(pipe->control(IOCTL_QUIDOR_RESET_PIPE, nullptr, 0, nullptr, 0, n), STATUS_SUCCESS);
    EXPECT_EQ(kernel_->urbCount(d, URB_FUNCTION_RESET_PIPE), 1u);
    EXPECT_EQ(device->control(IOCTL_QUIDOR_RESET_PORT, nullptr, 0, nullptr, 0, n), STATUS_SUCCESS);
    EXPECT_EQ(device->control(0x220470, nullptr, 0, buffer.data(), 64, n), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(device->control(0x220440, nullptr, 0, buffer.data(), 64, n), STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(DriverTest, SerialNumberIsTheStringDescriptorsText) {
    UsbIdentity id;
    id.serial = "QX00042";
    ScriptedUsb usb(id);
    plug(usb);
    auto device = open("\\\\.\\halvornquidor");
    char text[64];
    ULONG_PTR n = 0;
    EXPECT_EQ(device->control(IOCTL_QUIDOR_GET_SERIAL_NUMBER, nullptr, 0, text, 7, n),
              STATUS_BUFFER_TOO_SMALL);
    ASSERT_EQ(device->control(IOCTL_QUIDOR_GET_SERIAL_NUMBER, nullptr, 0, text, 64, n), STATUS_SUCCESS);
    EXPECT_EQ(n, 8u);
    EXPECT_STREQ(text, "QX00042");
    ASSERT_EQ(device->control(IOCTL_QUIDOR_GET_SERIAL_NUMBER, nullptr, 0, text, 8, n), STATUS_SUCCESS);
}

TEST_F(DriverTest, NoSerialStringAnswersBufferTooSmall) {
    UsbIdentity id;
    id.serialIndex = 0;
    ScriptedUsb usb(id);
    plug(usb);
    auto device = open("\\\\.\\halvornquidor");
    char text[64];
    ULONG_PTR n = 0;
    EXPECT_EQ(device->control(IOCTL_QUIDOR_GET_SERIAL_NUMBER, nullptr, 0, text, 64, n),
              STATUS_BUFFER_TOO_SMALL);
}

TEST(PipeNumber, IsTheLastRunOfDigits) {
    struct Case {
        const wchar_t *name;
        LONG pipe;
    };
    const Case cases[] = {{L"\\pipe00", 0}, {L"\\pipe3x", 3}, {L"\\p1pe2", 2},   {L"12345", -1},
                          {L"", -1},        {L"\\pipe", -1},  {L"\\0000005", 5}, {L"\\pipe10", -1},
                          {L"\\5\\", 5},    {L"\\pipe6", -1}};
    for (const Case &c : cases) {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, c.name);
        EXPECT_EQ(QUIDOR_ParsePipeNumber(&name), c.pipe);
    }
}

} // namespace

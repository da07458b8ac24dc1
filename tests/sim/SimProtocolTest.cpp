// The maker's vendor protocol as the device models speak it, driven with plain libusb calls.
#include "SimFixture.h"

#include <thread>

using usbsim::Bytes;
using usbsim::Channel;
using usbsim::DeviceConfig;
using usbsim::Record;

namespace {

constexpr uint8_t kOut = 0x01;
constexpr uint8_t kIn = 0x82;

Bytes pattern(size_t n) {
    Bytes b(n);
    uint32_t x = 12345;
    for (auto& c : b) {
        x = x * 1103515245u + 12345u;
        c = static_cast<uint8_t>(x >> 16);
    }
    return b;
}

}  // namespace

using SimProtocol = SimTest;

TEST_F(SimProtocol, WriteProtocolDelivers200000BytesInOrder) {
    auto dev = usbsim::plug(DeviceConfig::vendorPrinter("W1"));
    dev->busyFor(std::chrono::milliseconds(30));
    auto* h = open(dev);
    ASSERT_EQ(libusb_claim_interface(h, 0), 0);
    ASSERT_EQ(word(h, 0) & 0x7C, 0x04);  // device code 1: counts are reported

    const Bytes data = pattern(200000);
    size_t done = 0;
    int chunks = 0;
    while (done < data.size()) {
        const size_t chunk = std::min<size_t>(65535, data.size() - done);
        int status = 0;
        for (int polls = 0; polls < 1000; ++polls) {  // bounded: the device is busy 30 ms at most
            status = word(h, 1);
            ASSERT_GE(status, 0);
            if (!(status & 1)) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ASSERT_EQ(status & 1, 0);
        ASSERT_EQ(vendorOut(h, 17, 0), 0);
        size_t sent = 0;
        while (sent < chunk) {
            const int n = static_cast<int>(std::min<size_t>(4096, chunk - sent));
            int moved = -1;
            ASSERT_EQ(libusb_bulk_transfer(h, kOut, const_cast<uint8_t*>(&data[done + sent]), n, &moved, 1000), 0);
            ASSERT_EQ(moved, n);
            sent += static_cast<size_t>(moved);
        }
        ASSERT_EQ(word(h, 18), static_cast<int>(chunk));
        done += chunk;
        ++chunks;
    }
    EXPECT_EQ(chunks, 4);
    EXPECT_EQ(dev->received(), data);

    // The record holds the same bytes, in transfers of at most 4096, each chunk framed by a
    // write start before and a count report after.
    Bytes fromRecord;
    int starts = 0, counts = 0, bulks = 0;
    bool inChunk = false;
    for (const Record& r : dev->records()) {
        if (r.isVendor(17)) {
            EXPECT_FALSE(inChunk);
            inChunk = true;
            ++starts;
        } else if (r.isVendor(18)) {
            EXPECT_TRUE(inChunk);
            inChunk = false;
            ++counts;
        } else if (r.type == Record::Type::BulkOut) {
            EXPECT_TRUE(inChunk);
            EXPECT_LE(r.data.size(), 4096u);
            EXPECT_EQ(r.endpoint, kOut);
            EXPECT_EQ(r.channel, Channel::Printer);
            fromRecord.insert(fromRecord.end(), r.data.begin(), r.data.end());
            ++bulks;
        }
    }
    EXPECT_EQ(starts, 4);
    EXPECT_EQ(counts, 4);
    EXPECT_EQ(bulks, 49);  // three chunks of 15 x 4096 + 4095, one of 3395
    EXPECT_EQ(fromRecord, data);
}

TEST_F(SimProtocol, StatusWordShowsNotReadyForcedFlowAndBusy) {
    auto qx = usbsim::plug(DeviceConfig::vendorPrinter("S1"));
    DeviceConfig c2 = DeviceConfig::vendorPrinter("S2");
    c2.deviceCode = 2;
    auto code2 = usbsim::plug(c2);
    auto* h = open(qx);
    auto* h2 = open(code2);

    EXPECT_EQ(word(h, 0), 0x06);   // code 1, forced flow supported
    EXPECT_EQ(word(h2, 0), 0x0A);  // code 2
    EXPECT_EQ(word(h, 1), 0);
    qx->setOffline(true);
    EXPECT_EQ(word(h, 1), 1);
    ASSERT_EQ(vendorOut(h, 2, 2), 0);
    EXPECT_EQ(word(h, 1), 3);
    EXPECT_TRUE(qx->forcedFlow());
    ASSERT_EQ(vendorOut(h, 2, 0), 0);
    qx->setOffline(false);
    EXPECT_EQ(word(h, 1), 0);

    qx->setBusy(true);
    code2->setBusy(true);
    EXPECT_EQ(word(h, 1), 1);   // busy shows as not ready only
    EXPECT_EQ(word(h2, 1), 5);  // a code-2 device also sets bit 2
    qx->setStatusOverride(0x00FF);
    EXPECT_EQ(word(h, 1), 0x00FF);
}

TEST_F(SimProtocol, ForcedFlowNeedsTheCapability) {
    DeviceConfig c = DeviceConfig::vendorPrinter("F1");
    c.forcedFlow = false;
    auto dev = usbsim::plug(c);
    auto* h = open(dev);
    EXPECT_EQ(word(h, 0) & 2, 0);
    ASSERT_EQ(vendorOut(h, 2, 2), 0);
    EXPECT_EQ(word(h, 1) & 2, 0);
}

TEST_F(SimProtocol, CountReportOnlyFromCodes1And9) {
    for (uint8_t code : {0, 1, 2, 4, 9, 16}) {
        DeviceConfig c = DeviceConfig::vendorPrinter("C" + std::to_string(code));
        c.deviceCode = code;
        auto dev = usbsim::plug(c);
        auto* h = open(dev);
        uint8_t b[2];
        const int r = vendorIn(h, 18, b, 2);
        if (code == 1 || code == 9)
            EXPECT_EQ(r, 2) << int(code);
        else
            EXPECT_EQ(r, LIBUSB_ERROR_PIPE) << int(code);
    }
}

TEST_F(SimProtocol, StallAfterBytesReportsTheCountAndTheWriteResumes) {
    auto dev = usbsim::plug(DeviceConfig::vendorPrinter("T1"));
    dev->addBulkOutFault({Channel::Printer, 5000, usbsim::FaultAction::Stall, uint16_t(1000)});
    auto* h = open(dev);
    ASSERT_EQ(libusb_claim_interface(h, 0), 0);
    const Bytes data = pattern(8192);
    ASSERT_EQ(vendorOut(h, 17, 0), 0);
    int moved = 0;
    ASSERT_EQ(libusb_bulk_transfer(h, kOut, const_cast<uint8_t*>(data.data()), 4096, &moved, 1000), 0);
    EXPECT_EQ(libusb_bulk_transfer(h, kOut, const_cast<uint8_t*>(&data[4096]), 4096, &moved, 1000),
              LIBUSB_ERROR_PIPE);
    EXPECT_EQ(moved, 904);
    // Halted until cleared.
    EXPECT_EQ(libusb_bulk_transfer(h, kOut, const_cast<uint8_t*>(&data[5000]), 10, &moved, 1000), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(word(h, 18), 1000);
    ASSERT_EQ(libusb_clear_halt(h, kOut), 0);
    ASSERT_EQ(libusb_bulk_transfer(h, kOut, const_cast<uint8_t*>(&data[1000]), 7192, &moved, 1000), 0);
    EXPECT_EQ(word(h, 18), 8192);
    EXPECT_EQ(dev->received(), data);
}

TEST_F(SimProtocol, TimeoutAfterBytesGivesThePartialCount) {
    auto dev = usbsim::plug(DeviceConfig::vendorPrinter("T2"));
    dev->addBulkOutFault({Channel::Printer, 100, usbsim::FaultAction::Timeout, std::nullopt});
    auto* h = open(dev);
    const Bytes data = pattern(4096);
    int moved = 0;
    EXPECT_EQ(libusb_bulk_transfer(h, kOut, const_cast<uint8_t*>(data.data()), 4096, &moved, 50),
              LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(moved, 100);
    EXPECT_EQ(word(h, 18), 100);
}

TEST_F(SimProtocol, DisconnectDuringBulkOut) {
    auto dev = usbsim::plug(DeviceConfig::vendorPrinter("T3"));
    dev->addBulkOutFault({Channel::Printer, 10, usbsim::FaultAction::Disconnect, std::nullopt});
    auto* h = open(dev);
    uint8_t buf[64] = {};
    int moved = 0;
    EXPECT_EQ(libusb_bulk_transfer(h, kOut, buf, 64, &moved, 1000), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(moved, 10);
    EXPECT_FALSE(dev->plugged());
    EXPECT_EQ(word(h, 1), LIBUSB_ERROR_NO_DEVICE);
}

TEST_F(SimProtocol, BulkInDeliversQueuedInputThenZeroLengthPackets) {
    auto dev = usbsim::plug(DeviceConfig::vendorPrinter("I1"));
    auto* h = open(dev);
    dev->queueInput({1, 2, 3, 4, 5});
    dev->queueInput({6});
    uint8_t buf[1024];
    int n = -1;
    ASSERT_EQ(libusb_bulk_transfer(h, kIn, buf, 3, &n, 100), 0);
    EXPECT_EQ(Bytes(buf, buf + n), (Bytes{1, 2, 3}));
    ASSERT_EQ(libusb_bulk_transfer(h, kIn, buf, sizeof buf, &n, 100), 0);
    EXPECT_EQ(Bytes(buf, buf + n), (Bytes{4, 5}));  // a message ends a transfer
    ASSERT_EQ(libusb_bulk_transfer(h, kIn, buf, sizeof buf, &n, 100), 0);
    EXPECT_EQ(Bytes(buf, buf + n), (Bytes{6}));
    ASSERT_EQ(libusb_bulk_transfer(h, kIn, buf, sizeof buf, &n, 100), 0);
    EXPECT_EQ(n, 0);
}

TEST_F(SimProtocol, IdleNakDeviceTimesOutReads) {
    DeviceConfig c = DeviceConfig::vendorPrinter("I2");
    c.idleInZeroLength = false;
    auto dev = usbsim::plug(c);
    auto* h = open(dev);
    uint8_t buf[16];
    int n = -1;
    EXPECT_EQ(libusb_bulk_transfer(h, kIn, buf, sizeof buf, &n, 30), LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(n, 0);
    EXPECT_TRUE(dev->waitFor([](const Record& r) {
        return r.type == Record::Type::BulkIn && r.result == LIBUSB_ERROR_TIMEOUT;
    }));
}

TEST_F(SimProtocol, IdentificationRequestsGetTheScriptedAnswers) {
    auto dev = usbsim::plug(DeviceConfig::vendorPrinter("ID1"));
    auto* h = open(dev);
    auto send = [&](const Bytes& b) {
        int n = 0;
        ASSERT_EQ(libusb_bulk_transfer(h, kOut, const_cast<uint8_t*>(b.data()), static_cast<int>(b.size()), &n, 100), 0);
    };
    auto read = [&]() {
        uint8_t buf[1024];
        int n = 0;
        EXPECT_EQ(libusb_bulk_transfer(h, kIn, buf, sizeof buf, &n, 100), 0);
        return Bytes(buf, buf + n);
    };
    send(usbsim::onlineIdentifyRequest());
    EXPECT_EQ(read(), usbsim::answer::concat({usbsim::answer::underscoreModel("QX-K40V"), {0x20}}));
    EXPECT_TRUE(read().empty());

    send(usbsim::offlineIdentifyRequest());
    EXPECT_EQ(read(), usbsim::answer::concat({usbsim::answer::modelBlock("QX-K40V"), usbsim::answer::deviceIdBlock(0x20)}));

    // Split over reads, with an unsolicited status block first.
    dev->setOnlineAnswer({usbsim::answer::statusBlock(), {'_', 'Q', 'X'}, {'-', '9', 0, 0x21}});
    send(usbsim::onlineIdentifyRequest());
    EXPECT_EQ(read(), (Bytes{0x14, 0, 0, 0x0F}));
    EXPECT_EQ(read(), (Bytes{'_', 'Q', 'X'}));
    EXPECT_EQ(read(), (Bytes{'-', '9', 0, 0x21}));

    // Other data does not trigger an answer; a one-shot script answers once.
    send({0x1B, 0x40});
    EXPECT_TRUE(read().empty());
    dev->scriptReply({0x1D, 0x49, 0x45}, {{'K', 'E', 'Y'}}, 1);
    send({0x1D, 0x49, 0x45});
    send({0x1D, 0x49, 0x45});
    EXPECT_EQ(read(), (Bytes{'K', 'E', 'Y'}));
    EXPECT_TRUE(read().empty());
}

TEST_F(SimProtocol, DisplayChannelUsesTheSecondPairAndItsOwnRequests) {
    auto jv = usbsim::plug(DeviceConfig::displayPrinter("D1"));
    auto qx = usbsim::plug(DeviceConfig::vendorPrinter("D2"));
    auto* h = open(jv);
    auto* hq = open(qx);
    jv->setOffline(true, Channel::Display);
    EXPECT_EQ(word(h, 1), 0);
    EXPECT_EQ(word(h, 3), 1);
    ASSERT_EQ(vendorOut(h, 4, 2), 0);
    EXPECT_TRUE(jv->forcedFlow(Channel::Display));
    EXPECT_FALSE(jv->forcedFlow(Channel::Printer));
    ASSERT_EQ(vendorOut(h, 19, 0), 0);
    uint8_t text[] = {'H', 'i'};
    int n = 0;
    ASSERT_EQ(libusb_bulk_transfer(h, 0x03, text, 2, &n, 100), 0);
    EXPECT_EQ(word(h, 20), 2);
    EXPECT_EQ(jv->received(Channel::Display), (Bytes{'H', 'i'}));
    EXPECT_TRUE(jv->received(Channel::Printer).empty());
    jv->queueInput({9}, Channel::Display);
    uint8_t buf[8];
    ASSERT_EQ(libusb_bulk_transfer(h, 0x84, buf, 8, &n, 100), 0);
    EXPECT_EQ(n, 1);

    // A two-endpoint device has no display channel.
    EXPECT_EQ(word(hq, 3), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(vendorOut(hq, 19, 0), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(libusb_bulk_transfer(hq, 0x03, text, 2, &n, 100), LIBUSB_ERROR_IO);
}

TEST_F(SimProtocol, PrinterClassDeviceAnswersDeviceIdAndPortStatus) {
    auto prt = usbsim::plug(DeviceConfig::printerClassDevice("P1", "QORA/CS"));
    auto qx = usbsim::plug(DeviceConfig::vendorPrinter("P2"));
    auto* h = open(prt);
    uint8_t buf[1024] = {};
    const int r = libusb_control_transfer(h, 0xA1, 0, 0, 0, buf, sizeof buf, 1000);
    const std::string id = prt->config().ieee1284Id;
    ASSERT_EQ(r, static_cast<int>(id.size() + 2));
    EXPECT_EQ((buf[0] << 8) | buf[1], static_cast<int>(id.size() + 2));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf + 2), id.size()), id);
    EXPECT_NE(id.find("CMD:QORA/CS;"), std::string::npos);

    // Other class requests need the interface, which usblp holds until it is detached.
    uint8_t st = 0;
    EXPECT_EQ(libusb_control_transfer(h, 0xA1, 1, 0, 0, &st, 1, 1000), LIBUSB_ERROR_IO);
    ASSERT_EQ(libusb_detach_kernel_driver(h, 0), 0);
    EXPECT_EQ(libusb_control_transfer(h, 0xA1, 1, 0, 0, &st, 1, 1000), 1);
    EXPECT_EQ(st, 0x18);
    prt->setOffline(true);
    EXPECT_EQ(libusb_control_transfer(h, 0xA1, 1, 0, 0, &st, 1, 1000), 1);
    EXPECT_EQ(st, 0x00);

    // It speaks the vendor requests too; the vendor-class device has no printer-class requests.
    EXPECT_EQ(word(h, 1), 1);
    auto* hq = open(qx);
    EXPECT_EQ(libusb_control_transfer(hq, 0xA1, 0, 0, 0, buf, sizeof buf, 1000), LIBUSB_ERROR_PIPE);
}

TEST_F(SimProtocol, ResetDropsInputAndForcedFlow) {
    auto dev = usbsim::plug(DeviceConfig::vendorPrinter("R1"));
    auto* h = open(dev);
    dev->queueInput({1, 2, 3});
    ASSERT_EQ(vendorOut(h, 2, 2), 0);
    ASSERT_EQ(vendorOut(h, 127, 0), 0);
    EXPECT_EQ(dev->pendingInput(), 0u);
    EXPECT_FALSE(dev->forcedFlow());
}

TEST_F(SimProtocol, VendorRequestsMustAddressTheInterface) {
    auto dev = usbsim::plug(DeviceConfig::vendorPrinter("V1"));
    auto* h = open(dev);
    uint8_t b[2];
    EXPECT_EQ(libusb_control_transfer(h, 0xC0, 1, 0, 0, b, 2, 1000), LIBUSB_ERROR_PIPE);  // device recipient
    EXPECT_EQ(libusb_control_transfer(h, 0xC1, 1, 0, 1, b, 2, 1000), LIBUSB_ERROR_PIPE);  // interface 1
    EXPECT_EQ(libusb_control_transfer(h, 0xC1, 99, 0, 0, b, 2, 1000), LIBUSB_ERROR_PIPE);  // unknown
    EXPECT_EQ(libusb_control_transfer(h, 0xC1, 1, 0, 0, b, 1, 1000), 1);  // short buffer, short answer
}

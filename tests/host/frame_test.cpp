// The device socket's frames: what the encoders produce, and every fault the
// strict decoders name; where the socket lives by default.
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "TempDir.h"
#include "gnss/protocol/device_frame.h"
#include "gnss/protocol/gnss_ddi.h"

namespace gnss::frame {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Control(std::uint64_t tag, std::uint32_t code, Bytes input, std::size_t out) {
    Bytes bytes;
    EXPECT_EQ(EncodeDeviceControl(tag, code, input, out, bytes), FrameError::None);
    return bytes;
}

Bytes Done(std::uint64_t tag, NTSTATUS status, std::uint64_t information, Bytes output) {
    Bytes bytes;
    EXPECT_EQ(EncodeCompletion(tag, status, information, output, bytes), FrameError::None);
    return bytes;
}

template <class T>
void Put(Bytes& bytes, std::size_t offset, T value) {
    std::memcpy(bytes.data() + offset, &value, sizeof value);
}

TEST(DeviceFrame, TheWorkedExampleOfTheDocumentationIsExact) {
    // A device-capability request, tag 1, no input, a 604-byte output buffer.
    const Bytes request = Control(1, IOCTL_GNSS_GET_DEVICE_CAPABILITY, {}, 604);
    const Bytes expected = {0x47, 0x4E, 0x53, 0x46, 0x01, 0x00, 0x01, 0x00,  // "GNSF", v1, control
                            0x01, 0, 0, 0, 0, 0, 0, 0,                       // tag 1
                            0x08, 0x00, 0x22, 0x00,                          // 0x00220008
                            0, 0, 0, 0, 0x5C, 0x02, 0, 0, 0, 0, 0, 0};       // in 0, out 604, 0
    EXPECT_EQ(request, expected);
    const Bytes open = EncodeOpenResult(STATUS_NOT_SUPPORTED, 3);
    EXPECT_EQ(open, (Bytes{0x47, 0x4E, 0x53, 0x46, 1, 0, 0x81, 0, 0xBB, 0, 0, 0xC0, 3, 0, 0, 0}));
    const Bytes done = Done(1, STATUS_SUCCESS, 604, Bytes(604, 0));
    ASSERT_EQ(done.size(), 32u + 604u);
    EXPECT_EQ(Bytes(done.begin(), done.begin() + 32),
              (Bytes{0x47, 0x4E, 0x53, 0x46, 1, 0, 0x82, 0, 1, 0, 0, 0, 0, 0, 0, 0,
                     0, 0, 0, 0, 0x5C, 0x02, 0, 0, 0x5C, 0x02, 0, 0, 0, 0, 0, 0}));
}

TEST(DeviceFrame, RequestsRoundTrip) {
    const Bytes input = {1, 2, 3, 4, 5};
    const Bytes bytes = Control(0xFEEDFACECAFEBEEFull, IOCTL_GNSS_SEND_DRIVERCOMMAND, input, 12);
    Request r;
    ASSERT_EQ(DecodeRequest(bytes, r), FrameError::None);
    EXPECT_EQ(r.type, FrameType::DeviceControl);
    EXPECT_EQ(r.tag, 0xFEEDFACECAFEBEEFull);
    EXPECT_EQ(r.controlCode, IOCTL_GNSS_SEND_DRIVERCOMMAND);
    EXPECT_EQ(r.outputLength, 12u);
    EXPECT_EQ(Bytes(r.input.begin(), r.input.end()), input);

    ASSERT_EQ(DecodeRequest(EncodeCancel(77), r), FrameError::None);
    EXPECT_EQ(r.type, FrameType::Cancel);
    EXPECT_EQ(r.tag, 77u);

    // The largest input and output there may be.
    const Bytes big = Control(1, 2, Bytes(kMaxInputLength, 0xAA), kMaxOutputLength);
    ASSERT_EQ(DecodeRequest(big, r), FrameError::None);
    EXPECT_EQ(r.input.size(), kMaxInputLength);
}

TEST(DeviceFrame, ServerFramesRoundTrip) {
    OpenResult open;
    ASSERT_EQ(DecodeOpenResult(EncodeOpenResult(STATUS_NOT_SUPPORTED, 3), open), FrameError::None);
    EXPECT_EQ(open.status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(open.interfaceVersion, 3u);

    Completion c;
    // Information above the output count: an input-only request completed with 4.
    const Bytes inputOnly = Done(9, STATUS_SUCCESS, 4, {});
    ASSERT_EQ(DecodeCompletion(inputOnly, c), FrameError::None);
    EXPECT_EQ(c.tag, 9u);
    EXPECT_EQ(c.information, 4u);
    EXPECT_TRUE(c.output.empty());
    const Bytes withOutput = Done(10, STATUS_CANCELLED, 3, {7, 8, 9});
    ASSERT_EQ(DecodeCompletion(withOutput, c), FrameError::None);
    EXPECT_EQ(c.status, STATUS_CANCELLED);
    EXPECT_EQ(Bytes(c.output.begin(), c.output.end()), (Bytes{7, 8, 9}));
}

TEST(DeviceFrame, EncodersRefuseWhatNoFrameCanCarry) {
    Bytes out = {1};
    EXPECT_EQ(EncodeDeviceControl(1, 2, Bytes(kMaxInputLength + 1), 0, out), FrameError::OversizedFrame);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(EncodeDeviceControl(1, 2, {}, kMaxOutputLength + 1, out), FrameError::OversizedFrame);
    EXPECT_EQ(EncodeCompletion(1, 0, 2, Bytes(3), out), FrameError::InconsistentLengths);
    EXPECT_EQ(EncodeCompletion(1, 0, 1u << 20, Bytes(kMaxOutputLength + 1), out),
              FrameError::OversizedFrame);
}

TEST(DeviceFrame, RequestDecoderNamesEveryFault) {
    const Bytes good = Control(5, 0x00220008, {1, 2, 3, 4}, 16);
    Request r;
    const auto decode = [&](const Bytes& b) { return DecodeRequest(b, r); };

    EXPECT_EQ(decode({}), FrameError::ShortFrame);
    EXPECT_EQ(decode(Bytes(good.begin(), good.begin() + 7)), FrameError::ShortFrame);
    EXPECT_EQ(decode(Bytes(good.begin(), good.begin() + 31)), FrameError::ShortFrame);

    Bytes b = good;
    b[3] ^= 0x01;
    EXPECT_EQ(decode(b), FrameError::BadMagic);
    b = good;
    Put<std::uint16_t>(b, 4, 2);
    EXPECT_EQ(decode(b), FrameError::BadVersion);
    for (std::uint16_t type : {0, 4, 0x81, 0x82, 0xFFFF}) {
        b = good;
        Put<std::uint16_t>(b, 6, type);
        EXPECT_EQ(decode(b), FrameError::UnknownType) << type;
    }
    // A host query is the same header without input.
    Request query;
    ASSERT_EQ(DecodeRequest(EncodeHostQuery(9, kHostQueryStatus, 4096), query), FrameError::None);
    EXPECT_EQ(query.type, FrameType::HostQuery);
    EXPECT_EQ(query.controlCode, kHostQueryStatus);
    EXPECT_EQ(query.outputLength, 4096u);
    b = EncodeHostQuery(9, kHostQueryStatus, 4096);
    Put<std::uint32_t>(b, 20, 1);
    b.push_back(0);
    EXPECT_EQ(decode(b), FrameError::InconsistentLengths);

    b = good;
    b.push_back(0);  // one byte more than the input length says
    EXPECT_EQ(decode(b), FrameError::InconsistentLengths);
    b = good;
    b.pop_back();
    EXPECT_EQ(decode(b), FrameError::InconsistentLengths);
    b = good;
    Put<std::uint32_t>(b, 20, kMaxInputLength + 1);
    EXPECT_EQ(decode(b), FrameError::OversizedFrame);
    b = good;
    Put<std::uint32_t>(b, 24, kMaxOutputLength + 1);
    EXPECT_EQ(decode(b), FrameError::OversizedFrame);
    b = Control(5, 1, Bytes(kMaxInputLength), 0);
    b.push_back(0);
    EXPECT_EQ(decode(b), FrameError::OversizedFrame);
    b = good;
    Put<std::uint32_t>(b, 28, 1);
    EXPECT_EQ(decode(b), FrameError::ReservedNotZero);

    // A cancel carries nothing but its tag.
    b = EncodeCancel(5);
    Put<std::uint32_t>(b, 24, 4);
    EXPECT_EQ(decode(b), FrameError::InconsistentLengths);
    b = EncodeCancel(5);
    Put<std::uint32_t>(b, 16, 0x00220008);
    EXPECT_EQ(decode(b), FrameError::ReservedNotZero);
    b = EncodeCancel(5);
    b.resize(36);
    EXPECT_EQ(decode(b), FrameError::InconsistentLengths);
}

TEST(DeviceFrame, ServerFrameDecodersNameEveryFault) {
    Completion c;
    OpenResult o;
    const Bytes done = Done(3, STATUS_SUCCESS, 8, {1, 2, 3, 4});
    const Bytes open = EncodeOpenResult(STATUS_SUCCESS, 3);

    EXPECT_EQ(DecodeCompletion(Bytes(done.begin(), done.begin() + 31), c), FrameError::ShortFrame);
    EXPECT_EQ(DecodeOpenResult(Bytes(open.begin(), open.begin() + 15), o), FrameError::ShortFrame);
    Bytes b = open;
    b.push_back(0);
    EXPECT_EQ(DecodeOpenResult(b, o), FrameError::InconsistentLengths);
    // Each decoder takes its own type only.
    EXPECT_EQ(DecodeCompletion(open, c), FrameError::UnknownType);
    EXPECT_EQ(DecodeOpenResult(done, o), FrameError::UnknownType);
    EXPECT_EQ(DecodeCompletion(EncodeCancel(1), c), FrameError::UnknownType);
    b = done;
    b[0] = 'X';
    EXPECT_EQ(DecodeCompletion(b, c), FrameError::BadMagic);
    b = open;
    Put<std::uint16_t>(b, 4, 0);
    EXPECT_EQ(DecodeOpenResult(b, o), FrameError::BadVersion);

    b = done;
    b.pop_back();  // fewer output bytes than the count
    EXPECT_EQ(DecodeCompletion(b, c), FrameError::InconsistentLengths);
    b = done;
    Put<std::uint64_t>(b, 24, 3);  // more output than the information
    EXPECT_EQ(DecodeCompletion(b, c), FrameError::InconsistentLengths);
    b = done;
    Put<std::uint32_t>(b, 20, kMaxOutputLength + 1);
    EXPECT_EQ(DecodeCompletion(b, c), FrameError::OversizedFrame);
    b = Done(1, 0, kMaxOutputLength, Bytes(kMaxOutputLength));
    b.push_back(0);
    EXPECT_EQ(DecodeCompletion(b, c), FrameError::OversizedFrame);

    FrameType type;
    EXPECT_EQ(PeekServerFrameType(done, type), FrameError::None);
    EXPECT_EQ(type, FrameType::Completion);
    EXPECT_EQ(PeekServerFrameType(EncodeCancel(1), type), FrameError::UnknownType);
}

TEST(DeviceFrame, EveryErrorHasItsOwnText) {
    std::set<std::string> texts;
    for (auto e : {FrameError::None, FrameError::ShortFrame, FrameError::OversizedFrame,
                   FrameError::BadMagic, FrameError::BadVersion, FrameError::UnknownType,
                   FrameError::InconsistentLengths, FrameError::ReservedNotZero})
        texts.insert(FrameErrorText(e));
    EXPECT_EQ(texts.size(), 8u);
}

TEST(SocketAddress, AUsersSocketLivesInAFolderOfItsOwn) {
    EXPECT_EQ(UserSocketFolder(0, "/run/user/0"), "");  // root listens in /run/gnss
    EXPECT_EQ(UserSocketFolder(1000, "/run/user/1000"), "/run/user/1000");
    EXPECT_EQ(UserSocketFolder(1000, nullptr), "/tmp/gnss-1000");
    EXPECT_EQ(UserSocketFolder(1000, "relative/dir"), "/tmp/gnss-1000");
    EXPECT_EQ(SocketFolderOf("/tmp/gnss-1000/gnss.sock"), "/tmp/gnss-1000");
    EXPECT_EQ(SocketFolderOf("/gnss.sock"), "/");
    EXPECT_EQ(SocketFolderOf("gnss.sock"), "");
}

TEST(SocketAddress, OnlyAFolderPrivateToTheUserPassesTheCheck) {
    test::TempDir dir;
    const uid_t me = ::geteuid();
    const std::string folder = dir.File("private");
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    std::string error;
    EXPECT_TRUE(CheckPrivateFolder(folder, me, error)) << error;

    const auto refused = [&](const std::string& path, uid_t uid) {
        std::string why;
        EXPECT_FALSE(CheckPrivateFolder(path, uid, why)) << path;
        EXPECT_EQ(why.find("the socket folder " + path + " "), 0u) << why;
        return why;
    };
    const std::string owner =
        "belongs to uid " + std::to_string(me) + ", not to uid " + std::to_string(me + 1);
    EXPECT_NE(refused(folder, me + 1).find(owner), std::string::npos);
    const std::string link = dir.File("link");
    ASSERT_EQ(::symlink(folder.c_str(), link.c_str()), 0);
    EXPECT_NE(refused(link, me).find("is a symbolic link"), std::string::npos);
    const std::string file = dir.File("file");
    std::ofstream(file) << "x";
    EXPECT_NE(refused(file, me).find("is not a directory"), std::string::npos);
    EXPECT_NE(refused(dir.File("missing"), me).find("cannot be examined"), std::string::npos);
    for (mode_t mode : {0710, 0701, 0750, 0705}) {
        ASSERT_EQ(::chmod(folder.c_str(), mode), 0);
        EXPECT_NE(refused(folder, me).find("is open to group or others"), std::string::npos)
            << std::oct << mode;
    }
}

}  // namespace
}  // namespace gnss::frame

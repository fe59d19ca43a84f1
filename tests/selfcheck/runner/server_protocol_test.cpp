#include <cerrno>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <selfcheck/runner/server_protocol.hpp>

namespace {

namespace proto = selfcheck::protocol;

// Bytes written out by hand, independently of the encoders under test.
std::vector<std::byte> bytes(std::initializer_list<int> values) {
  std::vector<std::byte> out;
  for (int v : values) out.push_back(static_cast<std::byte>(v));
  return out;
}

void putU32(std::vector<std::byte>& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::byte>((v >> (8 * i)) & 0xff));
}

std::vector<std::byte> request(std::uint32_t kind, std::vector<std::byte> payload) {
  std::vector<std::byte> out;
  putU32(out, kind);
  putU32(out, static_cast<std::uint32_t>(payload.size()));
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

std::vector<std::byte> runRequest(std::uint32_t index) {
  std::vector<std::byte> payload;
  putU32(payload, index);
  return request(0x03, payload);
}

// Serves a byte vector in chunks of at most `chunk` bytes, then end of input; or fails with
// `error` once the data is used up, when error is non-zero.
class MemorySource final : public proto::ByteSource {
 public:
  explicit MemorySource(std::vector<std::byte> data, std::size_t chunk = SIZE_MAX, int error = 0)
      : data_(std::move(data)), chunk_(chunk), error_(error) {}

  std::expected<std::size_t, int> read(std::span<std::byte> buffer) override {
    if (pos_ == data_.size() && error_ != 0) return std::unexpected(error_);
    std::size_t n = std::min({buffer.size(), data_.size() - pos_, chunk_});
    std::copy_n(data_.begin() + static_cast<std::ptrdiff_t>(pos_), n, buffer.begin());
    pos_ += n;
    return n;
  }

  std::size_t consumed() const { return pos_; }

 private:
  std::vector<std::byte> data_;
  std::size_t chunk_;
  int error_;
  std::size_t pos_ = 0;
};

proto::Request expectRequest(const std::variant<proto::Request, proto::Stop>& got) {
  if (const auto* stop = std::get_if<proto::Stop>(&got)) {
    ADD_FAILURE() << "stopped: " << proto::describe(*stop);
    return {};
  }
  return std::get<proto::Request>(got);
}

proto::Stop expectStop(const std::variant<proto::Request, proto::Stop>& got) {
  if (std::holds_alternative<proto::Request>(got)) {
    ADD_FAILURE() << "decoded a request where a stop was expected";
    return {};
  }
  return std::get<proto::Stop>(got);
}

TEST(RequestDecoding, FieldsAreLittleEndian) {
  MemorySource source(bytes({0x03, 0, 0, 0, 0x04, 0, 0, 0, 0x04, 0x03, 0x02, 0x01}));
  proto::Request got = expectRequest(proto::readRequest(source, 0x02000000));
  EXPECT_EQ(got.kind, proto::RequestKind::runCheck);
  EXPECT_EQ(got.index, 0x01020304u);
}

TEST(RequestDecoding, ReadsOneMessageAndNothingPastIt) {
  std::vector<std::byte> stream = request(0x02, {});
  for (auto part : {runRequest(6), request(0x01, {})})
    stream.insert(stream.end(), part.begin(), part.end());
  MemorySource source(stream);
  EXPECT_EQ(expectRequest(proto::readRequest(source, 7)).kind, proto::RequestKind::listChecks);
  EXPECT_EQ(source.consumed(), 8u);
  proto::Request run = expectRequest(proto::readRequest(source, 7));
  EXPECT_EQ(run.kind, proto::RequestKind::runCheck);
  EXPECT_EQ(run.index, 6u);
  EXPECT_EQ(source.consumed(), 20u);
  EXPECT_EQ(expectRequest(proto::readRequest(source, 7)).kind, proto::RequestKind::exit);
  EXPECT_EQ(expectStop(proto::readRequest(source, 7)).reason, proto::StopReason::driverGone);
}

TEST(RequestDecoding, AssemblesMessagesFromOneByteReads) {
  std::vector<std::byte> stream = runRequest(2);
  auto exit = request(0x01, {});
  stream.insert(stream.end(), exit.begin(), exit.end());
  MemorySource source(stream, 1);
  EXPECT_EQ(expectRequest(proto::readRequest(source, 3)).index, 2u);
  EXPECT_EQ(expectRequest(proto::readRequest(source, 3)).kind, proto::RequestKind::exit);
}

TEST(RequestDecodingStops, EndOfInputInsideAHeaderIsTruncationNotDeparture) {
  MemorySource empty({});
  EXPECT_EQ(expectStop(proto::readRequest(empty, 1)).reason, proto::StopReason::driverGone);
  for (std::size_t cut = 1; cut < proto::kHeaderSize; ++cut) {
    std::vector<std::byte> stream = runRequest(0);
    stream.resize(cut);
    MemorySource source(stream, 3);
    proto::Stop stop = expectStop(proto::readRequest(source, 1));
    EXPECT_EQ(stop.reason, proto::StopReason::truncatedHeader) << cut;
    EXPECT_EQ(stop.received, cut);
  }
}

// A declared length past the bound must be refused from the header alone: if the decoder
// waited for the payload, a driver could make the server block or allocate without limit.
TEST(RequestDecodingStops, OverlongLengthIsRefusedBeforeAnyPayloadIsRead) {
  for (std::uint32_t length : {proto::kMaxRequestPayload + 1, 0x7fffffffu, 0xffffffffu}) {
    std::vector<std::byte> stream;
    putU32(stream, 0x03);
    putU32(stream, length);
    stream.resize(stream.size() + 300, std::byte{0});
    MemorySource source(stream);
    proto::Stop stop = expectStop(proto::readRequest(source, 1));
    EXPECT_EQ(stop.reason, proto::StopReason::payloadTooLong);
    EXPECT_EQ(source.consumed(), proto::kHeaderSize);
  }
}

TEST(RequestDecodingStops, SourceErrorsArePassedOn) {
  std::vector<std::byte> half = runRequest(0);
  half.resize(10);
  MemorySource failing(half, SIZE_MAX, EIO);
  proto::Stop stop = expectStop(proto::readRequest(failing, 1));
  EXPECT_EQ(stop.reason, proto::StopReason::readError);
  EXPECT_EQ(stop.error, EIO);
}

// A source that reports more bytes than the buffer it was handed must not push the decoder past
// its buffer.
TEST(RequestDecodingStops, SourceOverreportingIsAnErrorNotAnOverrun) {
  class Liar final : public proto::ByteSource {
    std::expected<std::size_t, int> read(std::span<std::byte> buffer) override {
      return buffer.size() + 100;
    }
  } liar;
  EXPECT_EQ(expectStop(proto::readRequest(liar, 1)).reason, proto::StopReason::readError);
}

std::string hex(std::string_view data) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (char c : data) {
    const auto byte = static_cast<unsigned char>(c);
    out += digits[byte >> 4];
    out += digits[byte & 15];
  }
  return out;
}

TEST(ResponseEncoding, VersionAnnouncement) {
  EXPECT_EQ(hex(proto::encodeVersion()),
            "81000000"
            "1a000000" +
                hex("nemra-selfcheck protocol 1"));
}

TEST(ResponseEncoding, CheckNamesAreCountedAndLengthPrefixed) {
  const selfcheck::Check table[] = {{"a.test.x", nullptr}, {"Π²", nullptr}};
  auto encoded = proto::encodeCheckNames(table);
  ASSERT_TRUE(encoded);
  EXPECT_EQ(hex(*encoded),
            "82000000"
            "18000000"
            "02000000"
            "08000000" +
                hex("a.test.x") +
                "04000000"
                "cea0c2b2");
}

TEST(ResponseEncoding, CheckResultLayout) {
  auto encoded = proto::encodeCheckResult(
      {7, proto::kFailed | proto::kLeaked, 0x0102030405060708ull, "OutOfMemory"});
  ASSERT_TRUE(encoded);
  EXPECT_EQ(hex(*encoded),
            "83000000"
            "1f000000"
            "07000000"
            "05000000"
            "0807060504030201"
            "0b000000" +
                hex("OutOfMemory"));
}

TEST(ResponseEncoding, PayloadsPastTheResponseLimitAreRefused) {
  const std::string long_name(proto::kMaxResponsePayload, 'n');
  const selfcheck::Check table[] = {{long_name, nullptr}};
  EXPECT_FALSE(proto::encodeCheckNames(table));
  EXPECT_FALSE(proto::encodeCheckResult({0, proto::kFailed, 0, long_name}));
  const selfcheck::Check fits[] = {{std::string_view(long_name).substr(8), nullptr}};
  EXPECT_TRUE(proto::encodeCheckNames(fits));
}

// Random valid request sequences with random garbage after them, delivered in random chunks:
// the decoder must return exactly the generated requests, then stop without reading past the
// stream, and a stop must be the one the bytes after the last request call for.
TEST(RandomRequestStreams, DecodeTheValidPrefixThenStopSafely) {
  std::mt19937 rng(20240613);
  auto below = [&](std::uint32_t n) {
    return std::uniform_int_distribution<std::uint32_t>(0, n - 1)(rng);
  };
  for (int round = 0; round < 5000; ++round) {
    const std::uint32_t count = below(6);
    std::vector<proto::Request> sent;
    std::vector<std::byte> stream;
    for (std::uint32_t i = below(5); i > 0; --i) {
      if (count > 0 && below(3) != 0) {
        proto::Request r{proto::RequestKind::runCheck, below(count)};
        sent.push_back(r);
        auto m = runRequest(r.index);
        stream.insert(stream.end(), m.begin(), m.end());
      } else {
        sent.push_back({proto::RequestKind::listChecks, 0});
        auto m = request(0x02, {});
        stream.insert(stream.end(), m.begin(), m.end());
      }
    }
    const std::size_t valid_end = stream.size();
    for (std::uint32_t i = below(24); i > 0; --i)
      stream.push_back(static_cast<std::byte>(below(256)));

    MemorySource source(stream, 1 + below(9));
    for (const proto::Request& expected : sent) {
      proto::Request got = expectRequest(proto::readRequest(source, count));
      ASSERT_EQ(got.kind, expected.kind) << "round " << round;
      ASSERT_EQ(got.index, expected.index) << "round " << round;
    }
    ASSERT_EQ(source.consumed(), valid_end);
    // Whatever the garbage decodes to, it ends in a stop; the index of every request is valid.
    for (;;) {
      auto next = proto::readRequest(source, count);
      ASSERT_LE(source.consumed(), stream.size());
      if (const auto* r = std::get_if<proto::Request>(&next)) {
        if (r->kind == proto::RequestKind::runCheck) {
          ASSERT_LT(r->index, count);
        }
        continue;
      }
      const proto::Stop& stop = std::get<proto::Stop>(next);
      if (stop.reason == proto::StopReason::driverGone ||
          stop.reason == proto::StopReason::truncatedHeader ||
          stop.reason == proto::StopReason::truncatedPayload) {
        ASSERT_EQ(source.consumed(), stream.size());
      }
      ASSERT_NE(stop.reason, proto::StopReason::readError);
      break;
    }
  }
}

}  // namespace

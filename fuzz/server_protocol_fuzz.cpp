// Fuzz target for the server-mode wire format: the request decoder fed arbitrary streams in
// arbitrary read sizes, and the response encoders fed arbitrary names, each checked against the
// properties a driver relies on. Any violation traps.
//
// Input layout: byte 0 picks the check-table length (0..15), byte 1 the largest read the source
// returns (1..8, or unlimited for 0), the rest is the request stream.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <selfcheck/runner/server_protocol.hpp>

namespace {

namespace proto = selfcheck::protocol;

void require(bool ok) {
  if (!ok) __builtin_trap();
}

class MemorySource final : public proto::ByteSource {
 public:
  MemorySource(const std::uint8_t* data, std::size_t size, std::size_t chunk)
      : data_(data), size_(size), chunk_(chunk) {}

  std::expected<std::size_t, int> read(std::span<std::byte> buffer) override {
    std::size_t n = std::min({buffer.size(), size_ - pos_, chunk_});
    if (n > 0) std::memcpy(buffer.data(), data_ + pos_, n);
    pos_ += n;
    return n;
  }

  std::size_t consumed() const { return pos_; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t chunk_;
  std::size_t pos_ = 0;
};

std::uint32_t loadU32(const std::string& s, std::size_t at) {
  std::uint32_t v = 0;
  for (std::size_t i = 0; i < 4; ++i)
    v |= std::uint32_t{static_cast<unsigned char>(s[at + i])} << (8 * i);
  return v;
}

void decodeStream(const std::uint8_t* data, std::size_t size, std::size_t count,
                  std::size_t chunk) {
  MemorySource source(data, size, chunk);
  std::size_t previous = 0;
  for (;;) {
    auto next = proto::readRequest(source, count);
    require(source.consumed() <= size);
    if (const auto* request = std::get_if<proto::Request>(&next)) {
      // Every request is a whole message of the kind's size, and a run request names a check.
      const std::size_t used = source.consumed() - previous;
      require(used ==
              proto::kHeaderSize +
                  proto::requestPayloadSize(static_cast<std::uint32_t>(request->kind)).value());
      if (request->kind == proto::RequestKind::runCheck) require(request->index < count);
      previous = source.consumed();
      continue;
    }
    const proto::Stop& stop = std::get<proto::Stop>(next);
    require(stop.reason != proto::StopReason::readError);
    switch (stop.reason) {
      case proto::StopReason::driverGone:
        require(source.consumed() == size);
        break;
      case proto::StopReason::truncatedHeader:
        require(source.consumed() == size && stop.received < proto::kHeaderSize);
        break;
      case proto::StopReason::truncatedPayload:
        require(source.consumed() == size && stop.received < stop.header.length);
        break;
      case proto::StopReason::unsupportedKind:
      case proto::StopReason::payloadTooLong:
      case proto::StopReason::wrongPayloadSize:
        // Refused on the header alone: no payload byte was read.
        require(source.consumed() == previous + proto::kHeaderSize);
        break;
      case proto::StopReason::indexOutOfRange:
        require(stop.index >= count);
        break;
      case proto::StopReason::readError:
        break;
    }
    require(!proto::describe(stop).empty());
    return;
  }
}

// The names, cut out of the input, come back whole from the check-names payload.
void encodeNames(const std::uint8_t* data, std::size_t size) {
  std::vector<selfcheck::Check> table;
  const char* text = reinterpret_cast<const char*>(data);
  std::size_t start = 0;
  for (std::size_t i = 0; i <= size; ++i) {
    if (i == size || data[i] == 0) {
      table.push_back({std::string_view(text + start, i - start), nullptr});
      start = i + 1;
    }
  }
  auto encoded = proto::encodeCheckNames(table);
  require(encoded.has_value());
  const std::string& m = *encoded;
  require(loadU32(m, 0) == static_cast<std::uint32_t>(proto::ResponseKind::checkNames));
  require(loadU32(m, 4) == m.size() - proto::kHeaderSize);
  require(loadU32(m, 8) == table.size());
  std::size_t at = 12;
  for (const auto& check : table) {
    require(loadU32(m, at) == check.name.size());
    require(std::string_view(m).substr(at + 4, check.name.size()) == check.name);
    at += 4 + check.name.size();
  }
  require(at == m.size());

  auto result = proto::encodeCheckResult({7, proto::kSkipped, size, std::string_view(text, size)});
  require(result.has_value() && result->size() == proto::kHeaderSize + 20 + size);
  require(loadU32(*result, 4) == 20 + size);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::size_t count = data[0] % 16;
  const std::size_t chunk = data[1] % 9 == 0 ? SIZE_MAX : data[1] % 9;
  decodeStream(data + 2, size - 2, count, chunk);
  encodeNames(data + 2, size - 2);
  return 0;
}

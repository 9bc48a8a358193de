// Codec costs on the paths this program takes, each beside a baseline measured in the same run:
// allocating a vector of the same size and copying the same bytes into it. Benchmarks named
// "<Case>/baseline" are the reference for every "<Case>/..." (scripts/bench prints the ratios).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <msgpack.hpp>
#include <string>
#include <vector>

#include "channels/encodable_value.h"
#include "channels/method_result.h"
#include "channels/standard_method_codec.h"

namespace {

using flutter::EncodableValue;

constexpr size_t kPcmEventBytes = 512;  // 256 mono 16-bit samples

// Looked up once, as a channel does.
const flutter::StandardMethodCodec& Codec() {
  static const flutter::StandardMethodCodec& codec = flutter::StandardMethodCodec::ForSerializer();
  return codec;
}

std::vector<uint8_t> PcmPayload() {
  std::vector<uint8_t> payload(kPcmEventBytes);
  for (size_t i = 0; i < payload.size(); ++i) {
    payload[i] = static_cast<uint8_t>(i * 31);
  }
  return payload;
}

EncodableValue StartReply() {
  flutter::ValueMap reply;
  reply[EncodableValue("ok")] = EncodableValue(true);
  reply[EncodableValue("name")] = EncodableValue("Rocksmith Guitar Adapter");
  reply[EncodableValue("sampleRate")] = EncodableValue(48000);
  reply[EncodableValue("renderExclusive")] = EncodableValue(true);
  return EncodableValue(std::move(reply));
}

// Keeps what it is handed out of the optimiser's reach.
class SinkResult : public flutter::MethodResult<EncodableValue> {
 public:
  void Success(const EncodableValue* result = nullptr) override {
    benchmark::DoNotOptimize(result);
    if (result != nullptr) {
      benchmark::DoNotOptimize(std::get<std::vector<uint8_t>>(*result).data());
    }
  }
  void Error(const std::string&, const std::string& = "",
             const EncodableValue* details = nullptr) override {
    benchmark::DoNotOptimize(details);
  }
  void NotImplemented() override {}
};

void CopyBaseline(benchmark::State& state, const std::vector<uint8_t>& bytes) {
  for (auto _ : state) {
    std::vector<uint8_t> copy(bytes.size());
    std::memcpy(copy.data(), bytes.data(), bytes.size());
    benchmark::DoNotOptimize(copy.data());
    benchmark::ClobberMemory();
  }
}

void PcmEventEncode(benchmark::State& state) {
  const EncodableValue event(PcmPayload());
  for (auto _ : state) {
    std::unique_ptr<std::vector<uint8_t>> message = Codec().EncodeSuccess(&event);
    benchmark::DoNotOptimize(message->data());
    benchmark::ClobberMemory();
  }
}

void PcmEventEncodeBaseline(benchmark::State& state) {
  const EncodableValue event(PcmPayload());
  CopyBaseline(state, *Codec().EncodeSuccess(&event));
}

// The form EncodeSuccess hands back: an owned vector, one allocation more than the baseline.
void PcmEventEncodeOwnedCopy(benchmark::State& state) {
  const EncodableValue event(PcmPayload());
  const std::vector<uint8_t> bytes = *Codec().EncodeSuccess(&event);
  for (auto _ : state) {
    auto copy = std::make_unique<std::vector<uint8_t>>(bytes.size());
    std::memcpy(copy->data(), bytes.data(), bytes.size());
    benchmark::DoNotOptimize(copy->data());
    benchmark::ClobberMemory();
  }
}

void PcmEventDecode(benchmark::State& state) {
  const EncodableValue event(PcmPayload());
  const std::vector<uint8_t> message = *Codec().EncodeSuccess(&event);
  SinkResult result;
  for (auto _ : state) {
    benchmark::DoNotOptimize(Codec().DecodeResponse(message.data(), message.size(), &result));
    benchmark::ClobberMemory();
  }
}

void PcmEventDecodeBaseline(benchmark::State& state) { CopyBaseline(state, PcmPayload()); }

// The same payload in msgpack-c's framing: [0, bin 512].
void PcmEventEncodeMsgpack(benchmark::State& state) {
  const std::vector<uint8_t> payload = PcmPayload();
  for (auto _ : state) {
    msgpack::sbuffer buffer;
    msgpack::packer<msgpack::sbuffer> packer(&buffer);
    packer.pack_array(2);
    packer.pack_uint8(0);
    packer.pack_bin(static_cast<uint32_t>(payload.size()));
    packer.pack_bin_body(reinterpret_cast<const char*>(payload.data()),
                         static_cast<uint32_t>(payload.size()));
    benchmark::DoNotOptimize(buffer.data());
    benchmark::ClobberMemory();
  }
}

void PcmEventDecodeMsgpack(benchmark::State& state) {
  const std::vector<uint8_t> payload = PcmPayload();
  msgpack::sbuffer buffer;
  msgpack::packer<msgpack::sbuffer> packer(&buffer);
  packer.pack_array(2);
  packer.pack_uint8(0);
  packer.pack(payload);
  for (auto _ : state) {
    msgpack::object_handle handle = msgpack::unpack(buffer.data(), buffer.size());
    std::vector<uint8_t> decoded = handle.get().via.array.ptr[1].as<std::vector<uint8_t>>();
    benchmark::DoNotOptimize(decoded.data());
    benchmark::ClobberMemory();
  }
}

void StartReplyEncode(benchmark::State& state) {
  const EncodableValue reply = StartReply();
  for (auto _ : state) {
    std::unique_ptr<std::vector<uint8_t>> message = Codec().EncodeSuccess(&reply);
    benchmark::DoNotOptimize(message->data());
    benchmark::ClobberMemory();
  }
}

void StartReplyEncodeBaseline(benchmark::State& state) {
  const EncodableValue reply = StartReply();
  CopyBaseline(state, *Codec().EncodeSuccess(&reply));
}

std::vector<uint8_t> SetVolumeCall() {
  return *Codec().EncodeCall(
      flutter::MethodCall<>("setVolume", std::make_unique<EncodableValue>(0.8)));
}

void SetVolumeDecode(benchmark::State& state) {
  const std::vector<uint8_t> message = SetVolumeCall();
  for (auto _ : state) {
    std::unique_ptr<flutter::MethodCall<>> call =
        Codec().DecodeCall(message.data(), message.size());
    benchmark::DoNotOptimize(call->arguments());
    benchmark::ClobberMemory();
  }
}

void SetVolumeDecodeBaseline(benchmark::State& state) { CopyBaseline(state, SetVolumeCall()); }

// "start" with a map argument holding two equal keys, each a list nested depth levels deep: the
// decode must cost the message's length, so the ratio to copying it stays flat with depth.
std::vector<uint8_t> StartWithDeepKeys(int64_t depth) {
  std::vector<uint8_t> key;
  for (int64_t i = 0; i < depth; ++i) {
    key.insert(key.end(), {0x0C, 0x01});
  }
  key.push_back(0x00);
  std::vector<uint8_t> message = {0x07, 0x05, 's', 't', 'a', 'r', 't', 0x0D, 0x02};
  for (int copy = 0; copy < 2; ++copy) {
    message.insert(message.end(), key.begin(), key.end());
    message.push_back(0x00);
  }
  return message;
}

template <int64_t kDepth>
void DeepKeysDecode(benchmark::State& state) {
  const std::vector<uint8_t> message = StartWithDeepKeys(kDepth);
  for (auto _ : state) {
    std::unique_ptr<flutter::MethodCall<>> call =
        Codec().DecodeCall(message.data(), message.size());
    benchmark::DoNotOptimize(call->arguments());
    benchmark::ClobberMemory();
  }
}

template <int64_t kDepth>
void DeepKeysDecodeBaseline(benchmark::State& state) {
  CopyBaseline(state, StartWithDeepKeys(kDepth));
}

}  // namespace

BENCHMARK(PcmEventEncode)->Name("PcmEventEncode/codec");
BENCHMARK(PcmEventEncodeBaseline)->Name("PcmEventEncode/baseline");
BENCHMARK(PcmEventEncodeOwnedCopy)->Name("PcmEventEncode/owned_copy");
BENCHMARK(PcmEventEncodeMsgpack)->Name("PcmEventEncode/msgpack");
BENCHMARK(PcmEventDecode)->Name("PcmEventDecode/codec");
BENCHMARK(PcmEventDecodeBaseline)->Name("PcmEventDecode/baseline");
BENCHMARK(PcmEventDecodeMsgpack)->Name("PcmEventDecode/msgpack");
BENCHMARK(StartReplyEncode)->Name("StartReplyEncode/codec");
BENCHMARK(StartReplyEncodeBaseline)->Name("StartReplyEncode/baseline");
BENCHMARK(SetVolumeDecode)->Name("SetVolumeDecode/codec");
BENCHMARK(SetVolumeDecodeBaseline)->Name("SetVolumeDecode/baseline");
BENCHMARK(DeepKeysDecode<40>)->Name("DeepKeys40Decode/codec");
BENCHMARK(DeepKeysDecodeBaseline<40>)->Name("DeepKeys40Decode/baseline");
BENCHMARK(DeepKeysDecode<500>)->Name("DeepKeys500Decode/codec");
BENCHMARK(DeepKeysDecodeBaseline<500>)->Name("DeepKeys500Decode/baseline");

BENCHMARK_MAIN();

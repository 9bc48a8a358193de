// Which capture endpoint is taken for the guitar, and which render endpoint for monitoring.
#include "guitar/device_selection.h"

#include <string>

#include "tests/audio/audio_fixture.h"

namespace tonelark_test {
namespace {

using tonelark::FindInputDevice;
using tonelark::FindOutputDevice;
using tonelark::InputDevice;
using tonelark::ReadDeviceNames;

std::wstring IdOf(IMMDevice* device) {
  if (device == nullptr) return L"(none)";
  LPWSTR id = nullptr;
  if (FAILED(device->GetId(&id)) || id == nullptr) return L"(no id)";
  std::wstring copy = id;
  CoTaskMemFree(id);
  return copy;
}

class DeviceSelectionTest : public AudioTest {
 protected:
  void AddCapture(const std::wstring& id, const std::wstring& friendly,
                  const std::wstring& description = L"USB Audio Device") {
    audio_.AddDevice(CaptureDevice(id, friendly, description));
  }
  InputDevice FindInput() { return FindInputDevice(Enumerator().Get()); }
  std::wstring OutputFor(bool is_irig) {
    return IdOf(FindOutputDevice(Enumerator().Get(), is_irig).Get());
  }
};

TEST_F(DeviceSelectionTest, AdapterNamesMatchInAnyCaseAndThroughTheDescription) {
  AddCapture(L"mic", L"Microphone", L"Realtek Audio");
  AddCapture(L"caps", L"ROCKSMITH USB CABLE");
  InputDevice input = FindInput();
  EXPECT_EQ(IdOf(input.device.Get()), L"caps");
  EXPECT_EQ(input.name, "ROCKSMITH USB CABLE");
  EXPECT_FALSE(input.is_irig);

  audio_.Reset();
  AddCapture(L"desc", L"USB Audio CODEC", L"Real Tone Cable");
  input = FindInput();
  EXPECT_EQ(IdOf(input.device.Get()), L"desc");
  EXPECT_EQ(input.name, "USB Audio CODEC") << "the friendly name is the display name";
}

TEST_F(DeviceSelectionTest, TheBlankBetweenFriendlyNameAndDescriptionTakesPartInTheMatch) {
  AddCapture(L"split", L"Line In (Real", L"Tone 2)");
  EXPECT_EQ(IdOf(FindInput().device.Get()), L"split");

  audio_.Reset();
  AddCapture(L"no-blank", L"Realtone", L"Input");
  EXPECT_FALSE(FindInput().device);
}

TEST_F(DeviceSelectionTest, AnAdapterBeatsAnEarlierIrigAndTheEarliestAdapterWins) {
  AddCapture(L"irig", L"iRig HD 2");
  AddCapture(L"adapter", L"Guitar Adapter");
  AddCapture(L"rocksmith", L"Rocksmith Cable");
  const InputDevice input = FindInput();
  EXPECT_EQ(IdOf(input.device.Get()), L"adapter");
  EXPECT_EQ(input.name, "Guitar Adapter");
  EXPECT_FALSE(input.is_irig);
}

// "irig" in the name of an adapter that a primary pattern already names does not make it an iRig:
// its output is the default one, not an iRig output.
TEST_F(DeviceSelectionTest, AnAdapterWhoseNameAlsoSaysIrigIsAPrimaryMatch) {
  AddCapture(L"irig-adapter", L"iRig Guitar Adapter");
  audio_.AddDevice(RenderDevice(L"speakers", L"Speakers"));
  audio_.AddDevice(RenderDevice(L"irig-out", L"Headphones (iRig HD)"));
  audio_.SetDefaultDevice(eRender, L"speakers");
  const InputDevice input = FindInput();
  EXPECT_EQ(IdOf(input.device.Get()), L"irig-adapter");
  EXPECT_FALSE(input.is_irig);
  EXPECT_EQ(OutputFor(input.is_irig), L"speakers");
}

TEST_F(DeviceSelectionTest, AnIrigInputIsTakenWhenNoAdapterIsPresentAndPicksAnIrigOutput) {
  AddCapture(L"mic", L"Microphone");
  AddCapture(L"irig1", L"iRig HD");
  AddCapture(L"irig2", L"IRIG Pro");
  audio_.AddDevice(RenderDevice(L"speakers", L"Speakers"));
  audio_.AddDevice(RenderDevice(L"irig-out", L"Headphones (iRig HD)"));
  audio_.SetDefaultDevice(eRender, L"speakers");

  const InputDevice input = FindInput();
  EXPECT_EQ(IdOf(input.device.Get()), L"irig1");
  EXPECT_EQ(input.name, "iRig HD");
  EXPECT_TRUE(input.is_irig);
  EXPECT_EQ(OutputFor(true), L"irig-out");
  EXPECT_EQ(OutputFor(false), L"speakers") << "only an iRig input looks for an iRig output";
}

TEST_F(DeviceSelectionTest, WithoutAnIrigOutputTheDefaultRenderEndpointIsUsed) {
  audio_.AddDevice(RenderDevice(L"hdmi", L"HDMI Output"));
  audio_.AddDevice(RenderDevice(L"speakers", L"Speakers"));
  audio_.SetDefaultDevice(eRender, L"speakers");
  EXPECT_EQ(OutputFor(true), L"speakers");

  audio_.FailCall("IMMDeviceEnumerator::EnumAudioEndpoints", E_FAIL);
  EXPECT_EQ(OutputFor(true), L"speakers") << "a failed render enumeration falls back too";
  audio_.FailCall("IMMDeviceEnumerator::GetDefaultAudioEndpoint", E_FAIL);
  EXPECT_EQ(OutputFor(false), L"(none)");
}

TEST_F(DeviceSelectionTest, AnEmptyOrUnreadableFriendlyNameGivesTheDescription) {
  DeviceConfig empty = CaptureDevice(L"empty", L"", L"Rocksmith Guitar Adapter");
  audio_.AddDevice(empty);
  EXPECT_EQ(FindInput().name, "Rocksmith Guitar Adapter");

  audio_.Reset();
  DeviceConfig number = CaptureDevice(L"number", L"", L"Guitar Adapter");
  number.friendly_name = DeviceText::NotString();
  audio_.AddDevice(number);
  EXPECT_EQ(FindInput().name, "Guitar Adapter");

  std::wstring search_text = L"untouched";
  EXPECT_EQ(ReadDeviceNames(Device(L"number").Get(), &search_text), L"Guitar Adapter");
  EXPECT_EQ(search_text, L" guitar adapter");
}

TEST_F(DeviceSelectionTest, NonAsciiNamesReachTheMonitorAsUtf8) {
  AddCapture(L"accent", L"Rocksmith \u00c9tude \u266b");
  EXPECT_EQ(FindInput().name, "Rocksmith \xc3\x89tude \xe2\x99\xab");
}

TEST_F(DeviceSelectionTest, NothingMatchesWithoutAnActiveAdapter) {
  EXPECT_FALSE(FindInput().device) << "no capture endpoint at all";

  AddCapture(L"mic", L"Microphone", L"Realtek Audio");
  DeviceConfig unplugged = CaptureDevice(L"off", L"Rocksmith Guitar Adapter");
  unplugged.active = false;
  audio_.AddDevice(unplugged);
  const InputDevice input = FindInput();
  EXPECT_FALSE(input.device);
  EXPECT_EQ(input.name, "");
  EXPECT_FALSE(input.is_irig);
}

TEST_F(DeviceSelectionTest, EndpointsThatCannotBeReadAreSkippedQuietly) {
  AddCapture(L"first", L"Rocksmith Guitar Adapter");
  AddCapture(L"second", L"Real Tone Cable");
  audio_.FailCall("IMMDeviceCollection::Item", E_FAIL, {L"", 1});
  EXPECT_EQ(IdOf(FindInput().device.Get()), L"second");

  audio_.ClearFailures();
  audio_.FailCall("IMMDevice::OpenPropertyStore", E_FAIL, {L"first", 0});
  EXPECT_EQ(IdOf(FindInput().device.Get()), L"second");
  std::wstring search_text = L"untouched";
  EXPECT_EQ(ReadDeviceNames(Device(L"first").Get(), &search_text), L"");
  EXPECT_EQ(search_text, L"untouched");

  audio_.ClearFailures();
  audio_.FailCall("IPropertyStore::GetValue", E_FAIL);
  EXPECT_FALSE(FindInput().device) << "names that cannot be read match nothing";

  audio_.ClearFailures();
  audio_.FailCall("IMMDeviceCollection::GetCount", E_FAIL);
  EXPECT_FALSE(FindInput().device);
  audio_.ClearFailures();
  audio_.FailCall("IMMDeviceEnumerator::EnumAudioEndpoints", E_OUTOFMEMORY);
  EXPECT_FALSE(FindInput().device);
}

}  // namespace
}  // namespace tonelark_test

#include "standins/audio/virtual_audio.h"

#include <fstream>
#include <iostream>
#include <sstream>

#include "platform/audio_guids.h"
#include "standins/audio/class_registration.h"
#include "standins/audio/device_objects.h"
#include "standins/audio/system_state.h"

namespace virtual_audio {

VirtualAudio::VirtualAudio() : state_(std::make_shared<SystemState>()) {}

VirtualAudio::~VirtualAudio() {
  Unregister();
  state_->notifications().Close();
}

void VirtualAudio::AddDevice(const DeviceConfig& config) {
  std::lock_guard<std::mutex> lock(state_->mutex());
  state_->AddDevice(config);
}

bool VirtualAudio::RemoveDevice(const std::wstring& id) {
  std::lock_guard<std::mutex> lock(state_->mutex());
  DeviceRecord* device = state_->FindDevice(id);
  if (device == nullptr) return false;
  state_->RemoveDevice(*device, state_->ClockNow());
  return true;
}

bool VirtualAudio::ReturnDevice(const std::wstring& id) {
  std::lock_guard<std::mutex> lock(state_->mutex());
  DeviceRecord* device = state_->FindDevice(id);
  if (device == nullptr) return false;
  state_->ReturnDevice(*device);
  return true;
}

void VirtualAudio::SetDefaultDevice(EDataFlow flow, const std::wstring& id) {
  std::lock_guard<std::mutex> lock(state_->mutex());
  state_->SetDefaultDevice(flow, id);
}

void VirtualAudio::Reset() {
  {
    std::lock_guard<std::mutex> lock(state_->mutex());
    state_->Reset();
  }
  state_->notifications().WaitForCallbacks();
}

bool VirtualAudio::LoadConfigFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    std::cerr << "virtual_audio: cannot read configuration " << path << std::endl;
    return false;
  }
  std::ostringstream text;
  text << file.rdbuf();
  return ParseConfig(text.str());
}

HRESULT VirtualAudio::Register() {
  if (registration_) return S_FALSE;
  auto registration = std::make_unique<ClassRegistration>(state_);
  const HRESULT hr = registration->result();
  if (SUCCEEDED(hr)) registration_ = std::move(registration);
  return hr;
}

void VirtualAudio::Unregister() { registration_.reset(); }

IMMDeviceEnumerator* VirtualAudio::CreateEnumerator() { return NewEnumerator(state_); }

void VirtualAudio::FailCall(const std::string& method, HRESULT hr, const FailWhen& when) {
  std::lock_guard<std::mutex> lock(state_->mutex());
  state_->AddFailure(method, hr, when);
}

void VirtualAudio::ClearFailures() {
  std::lock_guard<std::mutex> lock(state_->mutex());
  state_->ClearFailures();
}

std::vector<CallRecord> VirtualAudio::Calls() const {
  std::lock_guard<std::mutex> lock(state_->mutex());
  return state_->Calls();
}

int VirtualAudio::CallCount(const std::string& method, const std::wstring& device) const {
  std::lock_guard<std::mutex> lock(state_->mutex());
  return state_->CallCount(method, device);
}

void VirtualAudio::ClearCalls() {
  std::lock_guard<std::mutex> lock(state_->mutex());
  state_->ClearCalls();
}

void VirtualAudio::SetCallLog(bool keep) {
  std::lock_guard<std::mutex> lock(state_->mutex());
  state_->SetCallLog(keep);
}

void VirtualAudio::SetClockMode(ClockMode mode) { state_->SetClockMode(mode); }

void VirtualAudio::Tick(int periods) { state_->Tick(periods); }

REFERENCE_TIME VirtualAudio::StepClock() { return state_->StepClock(); }

void VirtualAudio::AdvanceClock(REFERENCE_TIME duration) { state_->AdvanceClock(duration); }

int VirtualAudio::DeliverNotifications() { return state_->notifications().DeliverPending(); }

REFERENCE_TIME VirtualAudio::ClockTime() const {
  std::lock_guard<std::mutex> lock(state_->mutex());
  return state_->ClockNow();
}

void VirtualAudio::SetCaptureStalled(const std::wstring& id, bool stalled) {
  std::lock_guard<std::mutex> lock(state_->mutex());
  if (DeviceRecord* device = state_->FindDevice(id)) device->stalled = stalled;
}

RenderedAudio VirtualAudio::Rendered(const std::wstring& id) const {
  std::lock_guard<std::mutex> lock(state_->mutex());
  const DeviceRecord* device = state_->FindDevice(id);
  return device == nullptr ? RenderedAudio{} : device->recording;
}

void VirtualAudio::ClearRendered(const std::wstring& id) {
  std::lock_guard<std::mutex> lock(state_->mutex());
  if (DeviceRecord* device = state_->FindDevice(id)) {
    device->recording.bytes.clear();
    device->recording.buffers.clear();
    device->recording.underrun_frames = 0;
    device->recording.unrecorded_frames = 0;
  }
}

int VirtualAudio::CaptureOverruns(const std::wstring& id) const {
  std::lock_guard<std::mutex> lock(state_->mutex());
  const DeviceRecord* device = state_->FindDevice(id);
  return device == nullptr ? 0 : device->overruns;
}

int VirtualAudio::RenderUnderruns(const std::wstring& id) const {
  std::lock_guard<std::mutex> lock(state_->mutex());
  const DeviceRecord* device = state_->FindDevice(id);
  return device == nullptr ? 0 : device->underruns;
}

uint64_t VirtualAudio::RenderUnderrunFrames(const std::wstring& id) const {
  std::lock_guard<std::mutex> lock(state_->mutex());
  const DeviceRecord* device = state_->FindDevice(id);
  return device == nullptr ? 0 : device->underrun_frames;
}

LateWakeRecord VirtualAudio::LateWakesApplied(const std::wstring& id) const {
  std::lock_guard<std::mutex> lock(state_->mutex());
  const DeviceRecord* device = state_->FindDevice(id);
  return device == nullptr ? LateWakeRecord{} : device->late_wakes;
}

Audit VirtualAudio::TakeAudit() const { return state_->TakeAudit(); }

}  // namespace virtual_audio

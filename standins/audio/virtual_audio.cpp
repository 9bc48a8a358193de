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

VirtualAudio::~VirtualAudio() { Unregister(); }

void VirtualAudio::AddDevice(const DeviceConfig& config) {
  std::lock_guard<std::mutex> lock(state_->mutex());
  state_->AddDevice(config);
}

void VirtualAudio::SetDefaultDevice(EDataFlow flow, const std::wstring& id) {
  std::lock_guard<std::mutex> lock(state_->mutex());
  state_->SetDefaultDevice(flow, id);
}

void VirtualAudio::Reset() {
  std::lock_guard<std::mutex> lock(state_->mutex());
  state_->Reset();
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

void VirtualAudio::SetClockMode(ClockMode mode) { state_->SetClockMode(mode); }

void VirtualAudio::Tick(int periods) { state_->Tick(periods); }

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

Audit VirtualAudio::TakeAudit() const { return state_->TakeAudit(); }

}  // namespace virtual_audio

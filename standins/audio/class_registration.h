// Owns one registration of the enumerator class object (CoRegisterClassObject, in-process,
// multiple use) and revokes it on destruction.
//
// Under Windows the registration is made from a helper thread that joins the multithreaded
// apartment and stays in it until revocation: a class object registered from a single-threaded
// apartment is not seen from the engine's audio thread (MTA), whose CoCreateInstance would then
// load whatever server the registry names. The host build's class table is process-wide, so
// there the calling thread registers. Create and destroy on one thread.
#ifndef STANDINS_AUDIO_CLASS_REGISTRATION_H_
#define STANDINS_AUDIO_CLASS_REGISTRATION_H_

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/win32.h"
#include "standins/audio/system_state.h"

namespace virtual_audio {

class ClassRegistration {
 public:
  explicit ClassRegistration(std::shared_ptr<SystemState> state);
  ~ClassRegistration();
  ClassRegistration(const ClassRegistration&) = delete;
  ClassRegistration& operator=(const ClassRegistration&) = delete;

  // The result of CoRegisterClassObject; the registration exists only when it succeeded.
  HRESULT result() const { return result_; }

 private:
  void RegisterOnThisThread(const std::shared_ptr<SystemState>& state);

  HRESULT result_ = E_FAIL;
  DWORD cookie_ = 0;
#ifdef _WIN32
  // Helper thread state, guarded by mutex_.
  std::mutex mutex_;
  std::condition_variable changed_;
  bool registered_ = false;  // the helper has an answer in result_
  bool revoke_ = false;      // the owner asks the helper to revoke and leave
  std::thread helper_;
#endif
};

}  // namespace virtual_audio

#endif  // STANDINS_AUDIO_CLASS_REGISTRATION_H_

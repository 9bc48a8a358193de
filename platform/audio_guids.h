// Identifiers of the Core Audio classes, interfaces, property keys and sample sub-formats,
// defined once for both builds so that no SDK import library has to provide them.
#ifndef PLATFORM_AUDIO_GUIDS_H_
#define PLATFORM_AUDIO_GUIDS_H_

#include "platform/win32.h"

namespace platform {

extern const CLSID kClsidMMDeviceEnumerator;  // {BCDE0395-E52F-467C-8E3D-C4579291692E}
extern const IID kIidIUnknown;
extern const IID kIidIClassFactory;
extern const IID kIidIMMDeviceEnumerator;
extern const IID kIidIMMNotificationClient;
extern const IID kIidIMMDeviceCollection;
extern const IID kIidIMMDevice;
extern const IID kIidIPropertyStore;
extern const IID kIidIAudioClient;
extern const IID kIidIAudioCaptureClient;
extern const IID kIidIAudioRenderClient;
extern const IID kIidIAudioClient2;
extern const IID kIidIAudioClient3;
extern const IID kIidIAudioClock;
extern const PROPERTYKEY kPkeyDeviceFriendlyName;
extern const PROPERTYKEY kPkeyDeviceDeviceDesc;
extern const GUID kSubtypePcm;
extern const GUID kSubtypeIeeeFloat;

}  // namespace platform

#endif  // PLATFORM_AUDIO_GUIDS_H_

// The one door to the Windows API for the engine and the channel layer.
//
// On Windows this is the real SDK. Elsewhere it declares the subset of types, constants and Core
// Audio COM interfaces that the engine uses, with working implementations in platform/native/, so
// that the same engine source builds and runs on the host under the sanitizers.
#ifndef PLATFORM_WIN32_H_
#define PLATFORM_WIN32_H_

#ifdef _WIN32

#include <windows.h>
// windows.h first: the headers below rely on its types.
#include <audioclient.h>
#include <avrt.h>
#include <mmdeviceapi.h>
#include <mmreg.h>
#include <objbase.h>
#include <propidl.h>

#else  // !_WIN32

#include <cstddef>
#include <cstdint>
#include <cwchar>

// ---- Basic types (Windows widths: LONG and DWORD are 32-bit, WCHAR is a UTF-16 code unit held
// in the host's wchar_t) ----
using BYTE = uint8_t;
using WORD = uint16_t;
using DWORD = uint32_t;
using LONG = int32_t;
using ULONG = uint32_t;
using UINT = unsigned int;
using UINT32 = uint32_t;
using UINT64 = uint64_t;
using INT = int;
using BOOL = int;
using LONGLONG = int64_t;
using HRESULT = int32_t;
using WCHAR = wchar_t;
using LPWSTR = wchar_t*;
using LPCWSTR = const wchar_t*;
using LPCWCH = const wchar_t*;
using LPSTR = char*;
using LPCSTR = const char*;
using LPCCH = const char*;
using LPBOOL = BOOL*;
using LPDWORD = DWORD*;
using LPVOID = void*;
using UINT_PTR = uintptr_t;
using LONG_PTR = intptr_t;
using WPARAM = UINT_PTR;
using LPARAM = LONG_PTR;
using LRESULT = LONG_PTR;
using HANDLE = void*;
using REFERENCE_TIME = LONGLONG;
using VARTYPE = uint16_t;
using STGM = DWORD;
struct HWND__ {
  int unused;
};
using HWND = HWND__*;
struct HMONITOR__ {
  int unused;
};
using HMONITOR = HMONITOR__*;

#define TRUE 1
#define FALSE 0
#define STDMETHODCALLTYPE
#define WINAPI

// ---- HRESULT ----
#define SUCCEEDED(hr) (static_cast<HRESULT>(hr) >= 0)
#define FAILED(hr) (static_cast<HRESULT>(hr) < 0)
constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001u);
constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002u);
constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003u);
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
constexpr HRESULT E_UNEXPECTED = static_cast<HRESULT>(0x8000FFFFu);
constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000Eu);
constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);
constexpr HRESULT CLASS_E_NOAGGREGATION = static_cast<HRESULT>(0x80040110u);
constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = static_cast<HRESULT>(0x80040111u);
constexpr HRESULT REGDB_E_CLASSNOTREG = static_cast<HRESULT>(0x80040154u);
constexpr HRESULT CO_E_NOTINITIALIZED = static_cast<HRESULT>(0x800401F0u);
constexpr HRESULT RPC_E_CHANGED_MODE = static_cast<HRESULT>(0x80010106u);

#define AUDCLNT_ERR(n) static_cast<HRESULT>(0x88890000u | (n))
#define AUDCLNT_E_NOT_INITIALIZED AUDCLNT_ERR(0x1)
#define AUDCLNT_E_ALREADY_INITIALIZED AUDCLNT_ERR(0x2)
#define AUDCLNT_E_WRONG_ENDPOINT_TYPE AUDCLNT_ERR(0x3)
#define AUDCLNT_E_DEVICE_INVALIDATED AUDCLNT_ERR(0x4)
#define AUDCLNT_E_NOT_STOPPED AUDCLNT_ERR(0x5)
#define AUDCLNT_E_BUFFER_TOO_LARGE AUDCLNT_ERR(0x6)
#define AUDCLNT_E_OUT_OF_ORDER AUDCLNT_ERR(0x7)
#define AUDCLNT_E_UNSUPPORTED_FORMAT AUDCLNT_ERR(0x8)
#define AUDCLNT_E_INVALID_SIZE AUDCLNT_ERR(0x9)
#define AUDCLNT_E_DEVICE_IN_USE AUDCLNT_ERR(0xa)
#define AUDCLNT_E_BUFFER_OPERATION_PENDING AUDCLNT_ERR(0xb)
#define AUDCLNT_E_EXCLUSIVE_MODE_NOT_ALLOWED AUDCLNT_ERR(0xe)
#define AUDCLNT_E_EVENTHANDLE_NOT_SET AUDCLNT_ERR(0x14)
#define AUDCLNT_E_BUFFER_SIZE_ERROR AUDCLNT_ERR(0x16)
#define AUDCLNT_E_BUFFER_SIZE_NOT_ALIGNED AUDCLNT_ERR(0x19)
#define AUDCLNT_E_INVALID_DEVICE_PERIOD AUDCLNT_ERR(0x20)
#define AUDCLNT_S_BUFFER_EMPTY static_cast<HRESULT>(0x08890001)

// ---- GUIDs ----
struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};
using IID = GUID;
using CLSID = GUID;
using REFGUID = const GUID&;
using REFIID = const IID&;
using REFCLSID = const CLSID&;
using LPCGUID = const GUID*;
bool operator==(const GUID& a, const GUID& b);
inline bool operator!=(const GUID& a, const GUID& b) { return !(a == b); }
inline bool IsEqualGUID(REFGUID a, REFGUID b) { return a == b; }

// ---- Events, waits, messages, time, debug output, text ----
constexpr DWORD INFINITE = 0xFFFFFFFFu;
constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_ABANDONED = 0x80;
constexpr DWORD WAIT_TIMEOUT = 0x102;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;
constexpr DWORD MAXIMUM_WAIT_OBJECTS = 64;
constexpr UINT WM_APP = 0x8000;
constexpr UINT CP_UTF8 = 65001;
constexpr DWORD WC_ERR_INVALID_CHARS = 0x80;

HANDLE CreateEventW(void* security_attributes, BOOL manual_reset, BOOL initial_state, LPCWSTR name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL wait_all, DWORD milliseconds);
BOOL CloseHandle(HANDLE handle);
BOOL PostMessageW(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
DWORD GetTickCount();
void Sleep(DWORD milliseconds);
void OutputDebugStringA(LPCSTR text);
int WideCharToMultiByte(UINT code_page, DWORD flags, LPCWCH wide, int wide_length, LPSTR out,
                        int out_size, LPCCH default_char, LPBOOL used_default_char);

// ---- COM runtime ----
constexpr DWORD COINIT_MULTITHREADED = 0x0;
constexpr DWORD COINIT_APARTMENTTHREADED = 0x2;
constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;
constexpr DWORD CLSCTX_INPROC_HANDLER = 0x2;
constexpr DWORD CLSCTX_LOCAL_SERVER = 0x4;
constexpr DWORD CLSCTX_REMOTE_SERVER = 0x10;
constexpr DWORD CLSCTX_ALL = 0x17;
constexpr DWORD REGCLS_SINGLEUSE = 0;
constexpr DWORD REGCLS_MULTIPLEUSE = 1;

struct IUnknown {
  virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) = 0;
  virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
  virtual ULONG STDMETHODCALLTYPE Release() = 0;

 protected:
  ~IUnknown() = default;
};

struct IClassFactory : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** object) = 0;
  virtual HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) = 0;

 protected:
  ~IClassFactory() = default;
};

HRESULT CoInitializeEx(void* reserved, DWORD co_init);
void CoUninitialize();
HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD cls_context, REFIID riid,
                         void** object);
HRESULT CoRegisterClassObject(REFCLSID clsid, IUnknown* class_object, DWORD cls_context,
                              DWORD flags, LPDWORD cookie);
HRESULT CoRevokeClassObject(DWORD cookie);
enum APTTYPE { APTTYPE_CURRENT = -1, APTTYPE_STA = 0, APTTYPE_MTA = 1, APTTYPE_MAINSTA = 3 };
enum APTTYPEQUALIFIER { APTTYPEQUALIFIER_NONE = 0, APTTYPEQUALIFIER_IMPLICIT_MTA = 1 };
HRESULT CoGetApartmentType(APTTYPE* type, APTTYPEQUALIFIER* qualifier);
void* CoTaskMemAlloc(size_t size);
void CoTaskMemFree(void* block);

// ---- Property values ----
constexpr VARTYPE VT_EMPTY = 0;
constexpr VARTYPE VT_UI4 = 19;
constexpr VARTYPE VT_LPWSTR = 31;
constexpr STGM STGM_READ = 0;

struct PROPVARIANT {
  VARTYPE vt;
  WORD wReserved1;
  WORD wReserved2;
  WORD wReserved3;
  union {
    ULONG ulVal;
    LPWSTR pwszVal;
    uint8_t reserved[16];
  };
};
inline void PropVariantInit(PROPVARIANT* value) { *value = PROPVARIANT{}; }
// Frees a VT_LPWSTR string with CoTaskMemFree and leaves the value VT_EMPTY.
HRESULT PropVariantClear(PROPVARIANT* value);
using REFPROPVARIANT = const PROPVARIANT&;

struct PROPERTYKEY {
  GUID fmtid;
  DWORD pid;
};
using REFPROPERTYKEY = const PROPERTYKEY&;

// ---- Multimedia class scheduler ----
HANDLE AvSetMmThreadCharacteristicsW(LPCWSTR task_name, LPDWORD task_index);
BOOL AvRevertMmThreadCharacteristics(HANDLE task);

// ---- Wave formats (packed as in the SDK: 18 and 40 bytes) ----
constexpr WORD WAVE_FORMAT_PCM = 1;
constexpr WORD WAVE_FORMAT_IEEE_FLOAT = 3;
constexpr WORD WAVE_FORMAT_EXTENSIBLE = 0xFFFE;
constexpr DWORD SPEAKER_FRONT_LEFT = 0x1;
constexpr DWORD SPEAKER_FRONT_RIGHT = 0x2;
constexpr DWORD SPEAKER_FRONT_CENTER = 0x4;

#pragma pack(push, 1)
struct WAVEFORMATEX {
  WORD wFormatTag;
  WORD nChannels;
  DWORD nSamplesPerSec;
  DWORD nAvgBytesPerSec;
  WORD nBlockAlign;
  WORD wBitsPerSample;
  WORD cbSize;
};
struct WAVEFORMATEXTENSIBLE {
  WAVEFORMATEX Format;
  union {
    WORD wValidBitsPerSample;
    WORD wSamplesPerBlock;
    WORD wReserved;
  } Samples;
  DWORD dwChannelMask;
  GUID SubFormat;
};
#pragma pack(pop)
static_assert(sizeof(WAVEFORMATEX) == 18, "WAVEFORMATEX is packed");
static_assert(sizeof(WAVEFORMATEXTENSIBLE) == 40, "WAVEFORMATEXTENSIBLE is packed");

// ---- Core Audio (method order as in the SDK's vtables) ----
enum EDataFlow { eRender = 0, eCapture = 1, eAll = 2 };
enum ERole { eConsole = 0, eMultimedia = 1, eCommunications = 2 };
constexpr DWORD DEVICE_STATE_ACTIVE = 0x1;
constexpr DWORD DEVICE_STATE_DISABLED = 0x2;
constexpr DWORD DEVICE_STATE_NOTPRESENT = 0x4;
constexpr DWORD DEVICE_STATE_UNPLUGGED = 0x8;
constexpr DWORD DEVICE_STATEMASK_ALL = 0xF;

enum AUDCLNT_SHAREMODE { AUDCLNT_SHAREMODE_SHARED = 0, AUDCLNT_SHAREMODE_EXCLUSIVE = 1 };
constexpr DWORD AUDCLNT_STREAMFLAGS_EVENTCALLBACK = 0x00040000;
constexpr DWORD AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY = 0x1;
constexpr DWORD AUDCLNT_BUFFERFLAGS_SILENT = 0x2;
constexpr DWORD AUDCLNT_BUFFERFLAGS_TIMESTAMP_ERROR = 0x4;

struct IPropertyStore : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetCount(DWORD* count) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetAt(DWORD index, PROPERTYKEY* key) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetValue(REFPROPERTYKEY key, PROPVARIANT* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetValue(REFPROPERTYKEY key, REFPROPVARIANT value) = 0;
  virtual HRESULT STDMETHODCALLTYPE Commit() = 0;

 protected:
  ~IPropertyStore() = default;
};

struct IMMDevice : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Activate(REFIID iid, DWORD cls_context,
                                             PROPVARIANT* activation_params, void** object) = 0;
  virtual HRESULT STDMETHODCALLTYPE OpenPropertyStore(DWORD access, IPropertyStore** store) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetId(LPWSTR* id) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetState(DWORD* state) = 0;

 protected:
  ~IMMDevice() = default;
};

struct IMMDeviceCollection : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetCount(UINT* count) = 0;
  virtual HRESULT STDMETHODCALLTYPE Item(UINT index, IMMDevice** device) = 0;

 protected:
  ~IMMDeviceCollection() = default;
};

// Endpoint notifications: the client is called on the audio system's notification thread.
constexpr HRESULT E_NOTFOUND = static_cast<HRESULT>(0x80070490u);  // ERROR_NOT_FOUND

struct IMMNotificationClient : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE OnDeviceStateChanged(LPCWSTR device_id, DWORD new_state) = 0;
  virtual HRESULT STDMETHODCALLTYPE OnDeviceAdded(LPCWSTR device_id) = 0;
  virtual HRESULT STDMETHODCALLTYPE OnDeviceRemoved(LPCWSTR device_id) = 0;
  virtual HRESULT STDMETHODCALLTYPE OnDefaultDeviceChanged(EDataFlow flow, ERole role,
                                                           LPCWSTR default_device_id) = 0;
  virtual HRESULT STDMETHODCALLTYPE OnPropertyValueChanged(LPCWSTR device_id,
                                                           const PROPERTYKEY key) = 0;

 protected:
  ~IMMNotificationClient() = default;
};

struct IMMDeviceEnumerator : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE EnumAudioEndpoints(EDataFlow flow, DWORD state_mask,
                                                       IMMDeviceCollection** devices) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetDefaultAudioEndpoint(EDataFlow flow, ERole role,
                                                            IMMDevice** endpoint) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetDevice(LPCWSTR id, IMMDevice** device) = 0;
  virtual HRESULT STDMETHODCALLTYPE
  RegisterEndpointNotificationCallback(IMMNotificationClient* client) = 0;
  virtual HRESULT STDMETHODCALLTYPE
  UnregisterEndpointNotificationCallback(IMMNotificationClient* client) = 0;

 protected:
  ~IMMDeviceEnumerator() = default;
};

struct IAudioClient : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Initialize(AUDCLNT_SHAREMODE share_mode, DWORD stream_flags,
                                               REFERENCE_TIME buffer_duration,
                                               REFERENCE_TIME periodicity,
                                               const WAVEFORMATEX* format,
                                               LPCGUID audio_session_guid) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetBufferSize(UINT32* frames) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetStreamLatency(REFERENCE_TIME* latency) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetCurrentPadding(UINT32* frames) = 0;
  virtual HRESULT STDMETHODCALLTYPE IsFormatSupported(AUDCLNT_SHAREMODE share_mode,
                                                      const WAVEFORMATEX* format,
                                                      WAVEFORMATEX** closest_match) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetMixFormat(WAVEFORMATEX** format) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetDevicePeriod(REFERENCE_TIME* default_period,
                                                    REFERENCE_TIME* minimum_period) = 0;
  virtual HRESULT STDMETHODCALLTYPE Start() = 0;
  virtual HRESULT STDMETHODCALLTYPE Stop() = 0;
  virtual HRESULT STDMETHODCALLTYPE Reset() = 0;
  virtual HRESULT STDMETHODCALLTYPE SetEventHandle(HANDLE event) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetService(REFIID riid, void** service) = 0;

 protected:
  ~IAudioClient() = default;
};

struct IAudioCaptureClient : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetBuffer(BYTE** data, UINT32* frames, DWORD* flags,
                                              UINT64* device_position, UINT64* qpc_position) = 0;
  virtual HRESULT STDMETHODCALLTYPE ReleaseBuffer(UINT32 frames) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetNextPacketSize(UINT32* frames) = 0;

 protected:
  ~IAudioCaptureClient() = default;
};

struct IAudioRenderClient : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetBuffer(UINT32 frames, BYTE** data) = 0;
  virtual HRESULT STDMETHODCALLTYPE ReleaseBuffer(UINT32 frames, DWORD flags) = 0;

 protected:
  ~IAudioRenderClient() = default;
};

// ---- Shared streams at small engine periods, stream clocks, the performance counter ----
#define AUDCLNT_E_ENDPOINT_OFFLOAD_NOT_CAPABLE AUDCLNT_ERR(0x22)
#define AUDCLNT_E_INVALID_STREAM_FLAG AUDCLNT_ERR(0x21)
#define AUDCLNT_E_ENGINE_PERIODICITY_LOCKED AUDCLNT_ERR(0x28)
constexpr DWORD AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM = 0x80000000;

enum AUDIO_STREAM_CATEGORY {
  AudioCategory_Other = 0,
  AudioCategory_ForegroundOnlyMedia = 1,
  AudioCategory_BackgroundCapableMedia = 2,
  AudioCategory_Communications = 3,
  AudioCategory_Alerts = 4,
  AudioCategory_SoundEffects = 5,
  AudioCategory_GameEffects = 6,
  AudioCategory_GameMedia = 7,
  AudioCategory_GameChat = 8,
  AudioCategory_Speech = 9,
  AudioCategory_Movie = 10,
  AudioCategory_Media = 11,
};
enum AUDCLNT_STREAMOPTIONS {
  AUDCLNT_STREAMOPTIONS_NONE = 0x0,
  AUDCLNT_STREAMOPTIONS_RAW = 0x1,
  AUDCLNT_STREAMOPTIONS_MATCH_FORMAT = 0x2,
  AUDCLNT_STREAMOPTIONS_AMBISONICS = 0x4,
};
struct AudioClientProperties {
  UINT32 cbSize;
  BOOL bIsOffload;
  AUDIO_STREAM_CATEGORY eCategory;
  AUDCLNT_STREAMOPTIONS Options;
};

struct IAudioClient2 : public IAudioClient {
  virtual HRESULT STDMETHODCALLTYPE IsOffloadCapable(AUDIO_STREAM_CATEGORY category,
                                                     BOOL* offload_capable) = 0;
  virtual HRESULT STDMETHODCALLTYPE
  SetClientProperties(const AudioClientProperties* properties) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetBufferSizeLimits(const WAVEFORMATEX* format,
                                                        BOOL event_driven,
                                                        REFERENCE_TIME* min_duration,
                                                        REFERENCE_TIME* max_duration) = 0;

 protected:
  ~IAudioClient2() = default;
};

struct IAudioClient3 : public IAudioClient2 {
  virtual HRESULT STDMETHODCALLTYPE GetSharedModeEnginePeriod(const WAVEFORMATEX* format,
                                                              UINT32* default_period_frames,
                                                              UINT32* fundamental_period_frames,
                                                              UINT32* min_period_frames,
                                                              UINT32* max_period_frames) = 0;
  virtual HRESULT STDMETHODCALLTYPE
  GetCurrentSharedModeEnginePeriod(WAVEFORMATEX** format, UINT32* current_period_frames) = 0;
  virtual HRESULT STDMETHODCALLTYPE InitializeSharedAudioStream(DWORD stream_flags,
                                                                UINT32 period_frames,
                                                                const WAVEFORMATEX* format,
                                                                LPCGUID audio_session_guid) = 0;

 protected:
  ~IAudioClient3() = default;
};

struct IAudioClock : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetFrequency(UINT64* frequency) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetPosition(UINT64* position, UINT64* qpc_position) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetCharacteristics(DWORD* characteristics) = 0;

 protected:
  ~IAudioClock() = default;
};

union LARGE_INTEGER {
  struct {
    DWORD LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
};
// A steady counter at 10 MHz, as on current Windows.
BOOL QueryPerformanceCounter(LARGE_INTEGER* count);
BOOL QueryPerformanceFrequency(LARGE_INTEGER* frequency);

// ---- Files, folders, the environment and the wall clock (the log file) ----
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))
constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_GEN_FAILURE = 31;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_DISK_FULL = 112;
constexpr DWORD ERROR_ALREADY_EXISTS = 183;
constexpr DWORD ERROR_ENVVAR_NOT_FOUND = 203;
constexpr DWORD FILE_APPEND_DATA = 0x4;
constexpr DWORD FILE_SHARE_READ = 0x1;
constexpr DWORD FILE_SHARE_WRITE = 0x2;
constexpr DWORD FILE_SHARE_DELETE = 0x4;
constexpr DWORD OPEN_ALWAYS = 4;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
constexpr DWORD MOVEFILE_REPLACE_EXISTING = 0x1;

struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};
struct SYSTEMTIME {
  WORD wYear;
  WORD wMonth;
  WORD wDayOfWeek;
  WORD wDay;
  WORD wHour;
  WORD wMinute;
  WORD wSecond;
  WORD wMilliseconds;
};

// The calling thread's last error, set by the calls below when they fail.
DWORD GetLastError();
DWORD GetEnvironmentVariableW(LPCWSTR name, LPWSTR buffer, DWORD size);
BOOL CreateDirectoryW(LPCWSTR path, void* security_attributes);
// Paths take '\\' or '/' between their parts. Only OPEN_ALWAYS is implemented; FILE_APPEND_DATA
// writes at the end.
HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share_mode, void* security_attributes,
                   DWORD disposition, DWORD flags, HANDLE template_file);
BOOL WriteFile(HANDLE file, const void* data, DWORD size, LPDWORD written, void* overlapped);
BOOL GetFileSizeEx(HANDLE file, LARGE_INTEGER* size);
BOOL MoveFileExW(LPCWSTR from, LPCWSTR to, DWORD flags);
// 100 ns since 1601-01-01 UTC.
void GetSystemTimeAsFileTime(FILETIME* time);
BOOL FileTimeToLocalFileTime(const FILETIME* utc, FILETIME* local);
BOOL FileTimeToSystemTime(const FILETIME* time, SYSTEMTIME* fields);

#endif  // _WIN32

#endif  // PLATFORM_WIN32_H_

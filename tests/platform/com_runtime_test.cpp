#include <atomic>
#include <cstring>
#include <thread>

#include "gtest/gtest.h"
#include "platform/audio_guids.h"
#include "platform/com_ptr.h"
#include "platform/test_support.h"
#include "platform/win32.h"

namespace {

using platform::ComPtr;

const CLSID kTestClsid = {
    0x6A1E5C2D, 0x3B4F, 0x4E8A, {0x9C, 0x11, 0x52, 0x7D, 0x0E, 0x33, 0xA4, 0x81}};

// One COM object that is its own class factory; `alive` counts the objects not yet destroyed.
class Object : public IClassFactory {
 public:
  explicit Object(std::atomic<int>* alive) : alive_(alive) { ++*alive_; }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    *object = nullptr;
    if (!IsEqualGUID(riid, platform::kIidIUnknown) &&
        !IsEqualGUID(riid, platform::kIidIClassFactory)) {
      return E_NOINTERFACE;
    }
    AddRef();
    *object = static_cast<IClassFactory*>(this);
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG refs = --refs_;
    if (refs == 0) delete this;
    return refs;
  }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** object) override {
    *object = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    ComPtr<IClassFactory> instance(new Object(alive_));
    return instance->QueryInterface(riid, object);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

 private:
  virtual ~Object() { --*alive_; }
  std::atomic<ULONG> refs_{1};
  std::atomic<int>* alive_;
};

TEST(ComRuntimeTest, InitialisationIsCountedPerThreadAndKeepsItsModel) {
  HRESULT results[4] = {};
  std::thread([&] {
    results[0] = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    results[1] = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    results[2] = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    CoUninitialize();
    CoUninitialize();
    // Fully undone: a new model may start.
    results[3] = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    CoUninitialize();
  }).join();
  EXPECT_EQ(results[0], S_OK);
  EXPECT_EQ(results[1], S_FALSE);
  EXPECT_EQ(results[2], RPC_E_CHANGED_MODE);
  EXPECT_EQ(results[3], S_OK);
}

TEST(ComRuntimeTest, CreatesInstancesThroughARegisteredClassObjectUntilRevoked) {
  ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
  std::atomic<int> alive{0};
  {
    ComPtr<IClassFactory> factory(new Object(&alive));
    ComPtr<IUnknown> instance;
    EXPECT_EQ(CoCreateInstance(kTestClsid, nullptr, CLSCTX_ALL, platform::kIidIUnknown,
                               instance.ReleaseAndGetVoidAddress()),
              REGDB_E_CLASSNOTREG);
    EXPECT_FALSE(instance);

    DWORD cookie = 0;
    ASSERT_EQ(CoRegisterClassObject(kTestClsid, factory.Get(), CLSCTX_INPROC_SERVER,
                                    REGCLS_MULTIPLEUSE, &cookie),
              S_OK);
    ASSERT_EQ(CoCreateInstance(kTestClsid, nullptr, CLSCTX_ALL, platform::kIidIUnknown,
                               instance.ReleaseAndGetVoidAddress()),
              S_OK);
    ASSERT_TRUE(instance);
    EXPECT_EQ(alive.load(), 2);  // The factory and one instance.
    instance.Reset();
    EXPECT_EQ(alive.load(), 1);

    EXPECT_EQ(CoRevokeClassObject(cookie), S_OK);
    EXPECT_TRUE(FAILED(CoRevokeClassObject(cookie)));
    EXPECT_EQ(CoCreateInstance(kTestClsid, nullptr, CLSCTX_ALL, platform::kIidIUnknown,
                               instance.ReleaseAndGetVoidAddress()),
              REGDB_E_CLASSNOTREG);
  }
  EXPECT_EQ(alive.load(), 0);  // The runtime let go of the class object when revoked.
  CoUninitialize();
}

TEST(ComRuntimeTest, PropVariantClearFreesTheStringAndEmptiesTheValue) {
  const int blocks_before = platform_test::LiveCoTaskMemCount();
  PROPVARIANT value;
  PropVariantInit(&value);
  value.vt = VT_LPWSTR;
  value.pwszVal = static_cast<LPWSTR>(CoTaskMemAlloc(6 * sizeof(WCHAR)));
  ASSERT_NE(value.pwszVal, nullptr);
  std::memcpy(value.pwszVal, L"iRig", 5 * sizeof(WCHAR));
  if (blocks_before >= 0) {
    EXPECT_EQ(platform_test::LiveCoTaskMemCount(), blocks_before + 1);
  }

  EXPECT_EQ(PropVariantClear(&value), S_OK);
  EXPECT_EQ(value.vt, VT_EMPTY);
  EXPECT_EQ(platform_test::LiveCoTaskMemCount(), blocks_before);
  EXPECT_EQ(PropVariantClear(&value), S_OK);  // Clearing an empty value is harmless.
}

TEST(ComRuntimeTest, ProAudioSchedulingGivesATaskHandleToRevert) {
  const int tasks_before = platform_test::LiveMmTaskCount();
  DWORD task_index = 0;
  HANDLE task = AvSetMmThreadCharacteristicsW(L"Pro Audio", &task_index);
  ASSERT_NE(task, nullptr);
  if (tasks_before >= 0) {
    EXPECT_EQ(platform_test::LiveMmTaskCount(), tasks_before + 1);
  }
  EXPECT_TRUE(AvRevertMmThreadCharacteristics(task));
  EXPECT_EQ(platform_test::LiveMmTaskCount(), tasks_before);
}

}  // namespace

#include "tests/runner/import_patch.h"

#include <cstring>

namespace runner_test {

namespace {

void WriteSlot(void** slot, void* value) {
  DWORD old_protection = 0;
  VirtualProtect(slot, sizeof(void*), PAGE_READWRITE, &old_protection);
  *slot = value;
  VirtualProtect(slot, sizeof(void*), old_protection, &old_protection);
}

// The import address table entry of dll!function in the main program, or null.
void** FindSlot(const char* dll, const char* function) {
  auto* base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& imports =
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (imports.VirtualAddress == 0) {
    return nullptr;
  }
  for (auto* descriptor =
           reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
       descriptor->Name != 0; ++descriptor) {
    if (_stricmp(reinterpret_cast<const char*>(base + descriptor->Name), dll) != 0) {
      continue;
    }
    auto* names = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + descriptor->OriginalFirstThunk);
    auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + descriptor->FirstThunk);
    for (; names->u1.AddressOfData != 0; ++names, ++slots) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) {
        continue;
      }
      const auto* by_name =
          reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
      if (std::strcmp(reinterpret_cast<const char*>(by_name->Name), function) == 0) {
        return reinterpret_cast<void**>(&slots->u1.Function);
      }
    }
  }
  return nullptr;
}

}  // namespace

ScopedImportPatch::ScopedImportPatch(const char* dll, const char* function, void* replacement)
    : slot_(FindSlot(dll, function)) {
  if (slot_ != nullptr) {
    original_ = *slot_;
    WriteSlot(slot_, replacement);
  }
}

ScopedImportPatch::~ScopedImportPatch() {
  if (slot_ != nullptr) {
    WriteSlot(slot_, original_);
  }
}

}  // namespace runner_test

// The image's load configuration. Its one purpose is DependentLoadFlags: Windows 10 1607 and
// later then take the load-time imports (newdev.dll, DIFxAPI.dll among them) from System32 only,
// never from the folder a setup extracted the image to. Older Windows ignore the field.
#include <stddef.h>
#include <stdint.h>

namespace {

// LOAD_LIBRARY_SEARCH_SYSTEM32
constexpr uint16_t kSearchSystem32Only = 0x0800;

// The layout of IMAGE_LOAD_CONFIG_DIRECTORY32/64 up to CastGuardOsDeterminedFailureMode, as
// current MinGW-w64 links into every image: Windows 11 on x64 takes a directory only when its
// Size equals the struct's own Size field, and images of exactly this Size run wherever current
// MinGW-w64 programs do. Addresses are pointer-sized.
struct LoadConfig {
    uint32_t Size;
    uint32_t TimeDateStamp;
    uint16_t MajorVersion;
    uint16_t MinorVersion;
    uint32_t GlobalFlagsClear;
    uint32_t GlobalFlagsSet;
    uint32_t CriticalSectionDefaultTimeout;
    uintptr_t DeCommitFreeBlockThreshold;
    uintptr_t DeCommitTotalFreeThreshold;
    uintptr_t LockPrefixTable;
    uintptr_t MaximumAllocationSize;
    uintptr_t VirtualMemoryThreshold;
    // The x86 layout has these two the other way round; there both are 4 bytes, and zero here.
    uintptr_t ProcessAffinityMask;
    uint32_t ProcessHeapFlags;
    uint16_t CSDVersion;
    uint16_t DependentLoadFlags;
    uintptr_t EditList;
    uintptr_t SecurityCookie;
    uintptr_t SEHandlerTable;
    uintptr_t SEHandlerCount;
    uintptr_t GuardCFCheckFunctionPointer;
    uintptr_t GuardCFDispatchFunctionPointer;
    uintptr_t GuardCFFunctionTable;
    uintptr_t GuardCFFunctionCount;
    uint32_t GuardFlags;
    uint16_t CodeIntegrityFlags;
    uint16_t CodeIntegrityCatalog;
    uint32_t CodeIntegrityCatalogOffset;
    uint32_t CodeIntegrityReserved;
    uintptr_t GuardAddressTakenIatEntryTable;
    uintptr_t GuardAddressTakenIatEntryCount;
    uintptr_t GuardLongJumpTargetTable;
    uintptr_t GuardLongJumpTargetCount;
    uintptr_t DynamicValueRelocTable;
    uintptr_t CHPEMetadataPointer;
    uintptr_t GuardRFFailureRoutine;
    uintptr_t GuardRFFailureRoutineFunctionPointer;
    uint32_t DynamicValueRelocTableOffset;
    uint16_t DynamicValueRelocTableSection;
    uint16_t Reserved2;
    uintptr_t GuardRFVerifyStackPointerFunctionPointer;
    uint32_t HotPatchTableOffset;
    uint32_t Reserved3;
    uintptr_t EnclaveConfigurationPointer;
    uintptr_t VolatileMetadataPointer;
    uintptr_t GuardEHContinuationTable;
    uintptr_t GuardEHContinuationCount;
    uintptr_t GuardXFGCheckFunctionPointer;
    uintptr_t GuardXFGDispatchFunctionPointer;
    uintptr_t GuardXFGTableDispatchFunctionPointer;
    uintptr_t CastGuardOsDeterminedFailureMode;
};

constexpr bool k64 = sizeof(void*) == 8;
static_assert(sizeof(LoadConfig) == (k64 ? 0x138 : 0xBC), "layout of the load configuration");
static_assert(offsetof(LoadConfig, DependentLoadFlags) == (k64 ? 0x4E : 0x36),
              "place of DependentLoadFlags");

constexpr LoadConfig DependentLoadsFromSystem32() {
    LoadConfig config{};
    config.Size = sizeof(LoadConfig);
    config.DependentLoadFlags = kSearchSystem32Only;
    return config;
}

} // namespace

// The loader finds it through the image's load-configuration directory, which the build fills
// from this symbol.
extern "C" const LoadConfig _load_config_used = DependentLoadsFromSystem32();

// Branding library: the fixed texts (vendor, product line) that version lines
// and banners show. Stand-in for the platform's branding library, which is a
// C library: the interface has C linkage.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// Brand text `number`: 4 the vendor, 95 the product line with its version.
// Any other number gives "". The text is static and never changes.
const char* GetBrandString(int number);

#ifdef __cplusplus
}
#endif

// Branding library: the fixed texts (vendor, product line) that version lines
// and banners show. Stand-in for the platform's branding library.
#pragma once

// Brand text `number`: 4 the vendor, 95 the product line with its version.
// Any other number gives "". The text is static and never changes.
const char* GetBrandString(int number);

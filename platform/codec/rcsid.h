// Source identification for the stand-ins, which build without any header of
// the product. Expands exactly like the product's own macro.
#pragma once

#ifndef TARN_RCSID
#define TARN_RCSID(path) [[maybe_unused]] static const char rcsId[] = "$Source: /src/" path " 1.0 $"
#endif

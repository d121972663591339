// The status page's files, compiled into the runner (the build turns
// service/page/ into a source file), so that the page needs nothing on disk
// and cannot drift from the binary that serves its data.
#pragma once

#include <cstddef>

struct PageAsset {
    const char* name;  // file name under service/page/
    const unsigned char* data;
    size_t size;
};

extern const PageAsset kPageAssets[];
extern const size_t kPageAssetCount;

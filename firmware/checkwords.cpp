#include "firmware/upload.h"

TCheckWords BlockCheckWords(const uint8_t* block, uint16_t wordAddress, int validBytes) {
    TCheckWords c{wordAddress, wordAddress};
    for (int w = 0; w < kBlockWords; ++w) {
        const int offset = 2 * w;
        const uint16_t word = offset < validBytes
                                  ? static_cast<uint16_t>(block[offset] | (block[offset + 1] << 8))
                                  : 0xFFFF;
        c.sum = static_cast<uint16_t>(c.sum + word);
        c.xr = static_cast<uint16_t>(c.xr ^ word);
    }
    return c;
}

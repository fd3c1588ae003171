// Picture effects on 24-bit bitmaps: the colour pass (brightness, contrast,
// saturation), the exposure pass and alpha blending of one bitmap onto
// another. No media library needed: the conversion hook and the crop dialog's
// preview both use them.
#pragma once

#include <cstdint>

class TBitmap;

// Neutral values as stored by the editing dialogs.
constexpr int32_t kNeutralBrightness = 255;
constexpr int32_t kNeutralContrast = 0;
constexpr int32_t kNeutralSaturation = 255;
constexpr int32_t kNeutralExposure = 0;

// Brightness 0..512 (256 = unit gain), contrast -100..100 around level 170,
// saturation 0..512 (256 = unchanged). Changes the picture in place.
void AdjustColors(TBitmap& picture, int32_t brightness, int32_t contrast, int32_t saturation);
// Exposure -255..512, 0 = unchanged. Changes the picture in place.
void AdjustExposure(TBitmap& picture, float exposure);
// Both passes in one sweep over the picture; the same bytes as AdjustColors
// followed by AdjustExposure.
void AdjustColorsAndExposure(TBitmap& picture, int32_t brightness, int32_t contrast, int32_t saturation,
                             float exposure);
// Blends src onto dst with its top-left corner at (x, y) in dst pixels (may be
// negative), clipped on every side; weight is src's share out of 256.
void BlendBitmap(TBitmap& dst, const TBitmap& src, int x, int y, int weight);

/* Frame-hook plug-ins for Tolvane Video Converter.
 *
 * A plug-in is a shared library loaded by the converter's "vhook" option, for
 * example  vhook=/path/to/drawbox.so 10 10 64 32  (or, when words contain
 * blanks, with "|" between the words). It exports these plain C functions:
 *
 *   int  Configure(void **context, int argc, char *argv[]);   optional
 *        Called once per option; argv[0] is the library itself. Store your
 *        state in *context. Return 0 on success. Required when argc > 1.
 *   void Process(void *context, TolvanePicture *picture, int pix_fmt,
 *                int width, int height, int64_t pts_us);       required
 *        Called on the converter's worker thread for every decoded picture,
 *        before it is scaled or encoded; paint on the planes in place.
 *        pix_fmt is the media library's pixel format number (0 = YUV 4:2:0
 *        planar); pts_us is the picture's time in microseconds.
 *   void Release(void *context);                               optional
 *        Called when the conversion ends.
 */
#ifndef TOLVANE_FRAMEHOOK_H
#define TOLVANE_FRAMEHOOK_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct TolvanePicture {
  uint8_t *data[4];  /* plane pointers */
  int linesize[4];   /* bytes from one row to the next, per plane */
} TolvanePicture;

typedef int (*TolvaneConfigureProc)(void **context, int argc, char *argv[]);
typedef void (*TolvaneProcessProc)(void *context, TolvanePicture *picture, int pix_fmt, int width, int height,
                                   int64_t pts_us);
typedef void (*TolvaneReleaseProc)(void *context);

#ifdef __cplusplus
}
#endif

#endif

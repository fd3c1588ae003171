/* Example frame-hook plug-in: fills a rectangle of planar YUV pictures.
 *   vhook=drawbox.so X Y WIDTH HEIGHT [LUMA [CB CR]]
 * Luma defaults to 235 (white), chroma to 128 (grey). */
#include <stdlib.h>

#include "tolvane_framehook.h"

typedef struct Box {
  int x, y, w, h;
  int luma, cb, cr;
} Box;

int Configure(void **context, int argc, char *argv[]) {
  if (argc < 5) return -1;
  Box *box = calloc(1, sizeof(Box));
  if (!box) return -1;
  box->x = atoi(argv[1]);
  box->y = atoi(argv[2]);
  box->w = atoi(argv[3]);
  box->h = atoi(argv[4]);
  box->luma = argc > 5 ? atoi(argv[5]) : 235;
  box->cb = argc > 6 ? atoi(argv[6]) : 128;
  box->cr = argc > 7 ? atoi(argv[7]) : 128;
  if (box->x < 0 || box->y < 0 || box->w <= 0 || box->h <= 0) {
    free(box);
    return -1;
  }
  *context = box;
  return 0;
}

static void Fill(uint8_t *plane, int linesize, int x0, int y0, int x1, int y1, int value) {
  for (int y = y0; y < y1; ++y)
    for (int x = x0; x < x1; ++x) plane[y * linesize + x] = (uint8_t)value;
}

/* Pixel formats 0 (4:2:0), 4 (4:2:2) and 5 (4:4:4) planar; others are left alone. */
void Process(void *context, TolvanePicture *picture, int pix_fmt, int width, int height, int64_t pts_us) {
  const Box *b = context;
  (void)pts_us;
  int sx, sy;
  switch (pix_fmt) {
    case 0: sx = 1; sy = 1; break;
    case 4: sx = 1; sy = 0; break;
    case 5: sx = 0; sy = 0; break;
    default: return;
  }
  int x1 = b->x + b->w > width ? width : b->x + b->w;
  int y1 = b->y + b->h > height ? height : b->y + b->h;
  if (b->x >= x1 || b->y >= y1) return;
  Fill(picture->data[0], picture->linesize[0], b->x, b->y, x1, y1, b->luma);
  Fill(picture->data[1], picture->linesize[1], b->x >> sx, b->y >> sy, x1 >> sx, y1 >> sy, b->cb);
  Fill(picture->data[2], picture->linesize[2], b->x >> sx, b->y >> sy, x1 >> sx, y1 >> sy, b->cr);
}

void Release(void *context) { free(context); }

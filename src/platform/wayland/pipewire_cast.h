#pragma once
/* The video streams of a screen cast (the desktop portal's PipeWire streams of the monitors),
 * read from a PipeWire thread of their own. The newest frame of each stream is kept, while the
 * streams are active; a reader waits for a frame newer than the one it has seen.
 * C, because PipeWire's format descriptions are built with C99 compound literals. */

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ombrix_cast ombrix_cast;

typedef struct {
    int width;
    int height;
    int stride;
    /* The byte order of a pixel: 0 blue, green, red, X (0xXXRRGGBB words); 1 red, green, blue, X.
     */
    int red_first;
    uint64_t sequence; /* counts the stream's frames from 1 */
    const uint8_t* pixels;
} ombrix_cast_frame;

/* Connects to the PipeWire remote `fd` (taken) and to the `count` streams `nodes`, inactive.
 * NULL, with the reason in `why`, when that fails. */
ombrix_cast* ombrix_cast_open(int fd, const uint32_t* nodes, int count, char* why, size_t why_size);
void ombrix_cast_close(ombrix_cast* cast);

/* Frames flow only while the streams are active. */
void ombrix_cast_set_active(ombrix_cast* cast, int active);

/* The newest frame of stream `index` once it is later than `after`, waiting up to `timeout_ms`:
 * 1 with `frame` filled (held until ombrix_cast_release), 0 when the time ran out, -1 when the
 * stream failed (the reason in `why`). */
int ombrix_cast_wait(ombrix_cast* cast,
                     int index,
                     uint64_t after,
                     int timeout_ms,
                     ombrix_cast_frame* frame,
                     char* why,
                     size_t why_size);
void ombrix_cast_release(ombrix_cast* cast);

/* The size of stream `index`'s frames once it has been agreed, waiting up to `timeout_ms`: 1 with
 * the size, 0 when not agreed in time, -1 when the stream failed. */
int ombrix_cast_size(ombrix_cast* cast, int index, int timeout_ms, int* width, int* height);

#ifdef __cplusplus
}
#endif

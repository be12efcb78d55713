#include "pipewire_cast.h"

#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>
#include <spa/utils/result.h>

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

enum { MAX_STREAMS = 16 };

struct cast_stream {
    struct ombrix_cast* cast;
    struct pw_stream* stream;
    struct spa_hook listener;
    uint32_t node;
    int width, height, red_first;
    int format_known;
    /* The newest frame, copied out of the stream's buffer. */
    uint8_t* pixels;
    size_t capacity;
    int stride;
    int frame_width, frame_height, frame_red_first;
    uint64_t sequence;
    int failed;
    char why[160];
};

struct ombrix_cast {
    struct pw_thread_loop* loop;
    struct pw_context* context;
    struct pw_core* core;
    struct spa_hook core_listener;
    struct cast_stream streams[MAX_STREAMS];
    int count;
    int core_failed;
    char why[160];
};

static void say(char* why, size_t why_size, const char* text)
{
    if (why && why_size) {
        snprintf(why, why_size, "%s", text);
    }
}

static void on_core_error(void* data, uint32_t id, int seq, int res, const char* message)
{
    struct ombrix_cast* cast = data;
    (void)seq;
    if (id == PW_ID_CORE) {
        cast->core_failed = 1;
        snprintf(cast->why, sizeof cast->why, "PipeWire: %s (%s)", message, spa_strerror(res));
        pw_thread_loop_signal(cast->loop, false);
    }
}

static const struct pw_core_events core_events = {
    PW_VERSION_CORE_EVENTS,
    .error = on_core_error,
};

static void on_state_changed(void* data,
                             enum pw_stream_state old,
                             enum pw_stream_state state,
                             const char* error)
{
    struct cast_stream* s = data;
    (void)old;
    if (state == PW_STREAM_STATE_ERROR || state == PW_STREAM_STATE_UNCONNECTED) {
        s->failed = 1;
        snprintf(s->why,
                 sizeof s->why,
                 "the screen cast's stream %u %s%s",
                 s->node,
                 state == PW_STREAM_STATE_ERROR ? "failed: " : "ended",
                 state == PW_STREAM_STATE_ERROR && error ? error : "");
        pw_thread_loop_signal(s->cast->loop, false);
    }
}

static void on_param_changed(void* data, uint32_t id, const struct spa_pod* param)
{
    struct cast_stream* s = data;
    struct spa_video_info_raw info;
    if (id != SPA_PARAM_Format || param == NULL) {
        return;
    }
    memset(&info, 0, sizeof info);
    if (spa_format_video_raw_parse(param, &info) < 0) {
        return;
    }
    s->width = (int)info.size.width;
    s->height = (int)info.size.height;
    s->red_first = info.format == SPA_VIDEO_FORMAT_RGBx || info.format == SPA_VIDEO_FORMAT_RGBA;
    s->format_known = 1;
    pw_thread_loop_signal(s->cast->loop, false);

    /* Buffers the program can read in place: memory, or a file of memory; never GPU buffers. */
    uint8_t buffer[256];
    struct spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    const struct spa_pod* params[1];
    params[0] = spa_pod_builder_add_object(
      &b,
      SPA_TYPE_OBJECT_ParamBuffers,
      SPA_PARAM_Buffers,
      SPA_PARAM_BUFFERS_buffers,
      SPA_POD_CHOICE_RANGE_Int(4, 1, 16),
      SPA_PARAM_BUFFERS_blocks,
      SPA_POD_Int(1),
      SPA_PARAM_BUFFERS_dataType,
      SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemPtr) | (1 << SPA_DATA_MemFd)));
    pw_stream_update_params(s->stream, params, 1);
}

static void on_process(void* data)
{
    struct cast_stream* s = data;
    struct pw_buffer* newest = NULL;
    struct pw_buffer* b;
    /* Only the newest frame matters: older ones go straight back. */
    while ((b = pw_stream_dequeue_buffer(s->stream)) != NULL) {
        if (newest) {
            pw_stream_queue_buffer(s->stream, newest);
        }
        newest = b;
    }
    if (!newest) {
        return;
    }
    struct spa_buffer* buf = newest->buffer;
    struct spa_data* d = &buf->datas[0];
    struct spa_meta_header* header =
      spa_buffer_find_meta_data(buf, SPA_META_Header, sizeof *header);
    const int corrupted = header && (header->flags & SPA_META_HEADER_FLAG_CORRUPTED);
    if (s->format_known && !corrupted && d->data && d->chunk && d->chunk->size > 0 &&
        s->width > 0 && s->height > 0) {
        const int stride = d->chunk->stride > 0 ? d->chunk->stride : s->width * 4;
        const size_t bytes = (size_t)stride * (size_t)s->height;
        if (stride >= s->width * 4 && d->chunk->offset + bytes <= d->maxsize) {
            if (s->capacity < bytes) {
                uint8_t* grown = realloc(s->pixels, bytes);
                if (grown) {
                    s->pixels = grown;
                    s->capacity = bytes;
                }
            }
            if (s->capacity >= bytes) {
                memcpy(s->pixels, (const uint8_t*)d->data + d->chunk->offset, bytes);
                s->stride = stride;
                s->frame_width = s->width;
                s->frame_height = s->height;
                s->frame_red_first = s->red_first;
                s->sequence++;
                pw_thread_loop_signal(s->cast->loop, false);
            }
        }
    }
    pw_stream_queue_buffer(s->stream, newest);
}

static const struct pw_stream_events stream_events = {
    PW_VERSION_STREAM_EVENTS,
    .state_changed = on_state_changed,
    .param_changed = on_param_changed,
    .process = on_process,
};

ombrix_cast* ombrix_cast_open(int fd, const uint32_t* nodes, int count, char* why, size_t why_size)
{
    if (count <= 0 || count > MAX_STREAMS) {
        if (why && why_size) {
            if (count <= 0) {
                snprintf(why, why_size, "the screen cast has no stream");
            } else {
                snprintf(why, why_size, "the screen cast has more than %d streams", MAX_STREAMS);
            }
        }
        close(fd);
        return NULL;
    }
    pw_init(NULL, NULL);
    struct ombrix_cast* cast = calloc(1, sizeof *cast);
    if (!cast) {
        close(fd);
        say(why, why_size, "no memory");
        return NULL;
    }
    cast->loop = pw_thread_loop_new("ombrix-cast", NULL);
    if (!cast->loop) {
        close(fd);
        free(cast);
        say(why, why_size, "PipeWire: no thread loop");
        return NULL;
    }
    cast->context = pw_context_new(pw_thread_loop_get_loop(cast->loop), NULL, 0);
    if (!cast->context || pw_thread_loop_start(cast->loop) < 0) {
        close(fd);
        say(why, why_size, "PipeWire: no context");
        ombrix_cast_close(cast);
        return NULL;
    }
    pw_thread_loop_lock(cast->loop);
    cast->core = pw_context_connect_fd(cast->context, fd, NULL, 0);
    if (!cast->core) {
        pw_thread_loop_unlock(cast->loop);
        say(why, why_size, "PipeWire: the screen cast's connection was refused");
        ombrix_cast_close(cast);
        return NULL;
    }
    pw_core_add_listener(cast->core, &cast->core_listener, &core_events, cast);

    uint8_t buffer[1024];
    struct spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    struct spa_rectangle size = SPA_RECTANGLE(1920, 1080);
    struct spa_rectangle smallest = SPA_RECTANGLE(1, 1);
    struct spa_rectangle largest = SPA_RECTANGLE(16384, 16384);
    struct spa_fraction rate = SPA_FRACTION(30, 1);
    struct spa_fraction slowest = SPA_FRACTION(0, 1);
    struct spa_fraction fastest = SPA_FRACTION(1000, 1);
    const struct spa_pod* params[1];
    params[0] =
      spa_pod_builder_add_object(&b,
                                 SPA_TYPE_OBJECT_Format,
                                 SPA_PARAM_EnumFormat,
                                 SPA_FORMAT_mediaType,
                                 SPA_POD_Id(SPA_MEDIA_TYPE_video),
                                 SPA_FORMAT_mediaSubtype,
                                 SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw),
                                 SPA_FORMAT_VIDEO_format,
                                 SPA_POD_CHOICE_ENUM_Id(5,
                                                        SPA_VIDEO_FORMAT_BGRx,
                                                        SPA_VIDEO_FORMAT_BGRx,
                                                        SPA_VIDEO_FORMAT_BGRA,
                                                        SPA_VIDEO_FORMAT_RGBx,
                                                        SPA_VIDEO_FORMAT_RGBA),
                                 SPA_FORMAT_VIDEO_size,
                                 SPA_POD_CHOICE_RANGE_Rectangle(&size, &smallest, &largest),
                                 SPA_FORMAT_VIDEO_framerate,
                                 SPA_POD_CHOICE_RANGE_Fraction(&rate, &slowest, &fastest));
    for (int i = 0; i < count; ++i) {
        struct cast_stream* s = &cast->streams[i];
        s->cast = cast;
        s->node = nodes[i];
        s->stream = pw_stream_new(cast->core,
                                  "Ombrix",
                                  pw_properties_new(PW_KEY_MEDIA_TYPE,
                                                    "Video",
                                                    PW_KEY_MEDIA_CATEGORY,
                                                    "Capture",
                                                    PW_KEY_MEDIA_ROLE,
                                                    "Screen",
                                                    NULL));
        if (!s->stream) {
            pw_thread_loop_unlock(cast->loop);
            say(why, why_size, "PipeWire: no stream");
            ombrix_cast_close(cast);
            return NULL;
        }
        cast->count = i + 1;
        pw_stream_add_listener(s->stream, &s->listener, &stream_events, s);
        const int res = pw_stream_connect(s->stream,
                                          PW_DIRECTION_INPUT,
                                          s->node,
                                          PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS |
                                            PW_STREAM_FLAG_INACTIVE,
                                          params,
                                          1);
        if (res < 0) {
            pw_thread_loop_unlock(cast->loop);
            if (why && why_size) {
                snprintf(why, why_size, "PipeWire: stream %u: %s", s->node, spa_strerror(res));
            }
            ombrix_cast_close(cast);
            return NULL;
        }
    }
    pw_thread_loop_unlock(cast->loop);
    return cast;
}

void ombrix_cast_close(ombrix_cast* cast)
{
    if (!cast) {
        return;
    }
    if (cast->loop) {
        pw_thread_loop_lock(cast->loop);
        for (int i = 0; i < cast->count; ++i) {
            if (cast->streams[i].stream) {
                pw_stream_destroy(cast->streams[i].stream);
            }
        }
        if (cast->core) {
            pw_core_disconnect(cast->core);
        }
        pw_thread_loop_unlock(cast->loop);
        pw_thread_loop_stop(cast->loop);
    }
    if (cast->context) {
        pw_context_destroy(cast->context);
    }
    if (cast->loop) {
        pw_thread_loop_destroy(cast->loop);
    }
    for (int i = 0; i < cast->count; ++i) {
        free(cast->streams[i].pixels);
    }
    free(cast);
}

void ombrix_cast_set_active(ombrix_cast* cast, int active)
{
    pw_thread_loop_lock(cast->loop);
    for (int i = 0; i < cast->count; ++i) {
        pw_stream_set_active(cast->streams[i].stream, active != 0);
    }
    pw_thread_loop_unlock(cast->loop);
}

int ombrix_cast_wait(ombrix_cast* cast,
                     int index,
                     uint64_t after,
                     int timeout_ms,
                     ombrix_cast_frame* frame,
                     char* why,
                     size_t why_size)
{
    if (index < 0 || index >= cast->count) {
        say(why, why_size, "no such stream");
        return -1;
    }
    struct cast_stream* s = &cast->streams[index];
    struct timespec until;
    pw_thread_loop_lock(cast->loop);
    pw_thread_loop_get_time(cast->loop, &until, (int64_t)timeout_ms * SPA_NSEC_PER_MSEC);
    for (;;) {
        if (cast->core_failed || s->failed) {
            say(why, why_size, cast->core_failed ? cast->why : s->why);
            pw_thread_loop_unlock(cast->loop);
            return -1;
        }
        if (s->sequence > after) {
            frame->width = s->frame_width;
            frame->height = s->frame_height;
            frame->stride = s->stride;
            frame->red_first = s->frame_red_first;
            frame->sequence = s->sequence;
            frame->pixels = s->pixels;
            return 1; /* held locked until ombrix_cast_release */
        }
        if (pw_thread_loop_timed_wait_full(cast->loop, &until) == -ETIMEDOUT) {
            if (s->sequence > after) {
                continue;
            }
            pw_thread_loop_unlock(cast->loop);
            return 0;
        }
    }
}

void ombrix_cast_release(ombrix_cast* cast)
{
    pw_thread_loop_unlock(cast->loop);
}

int ombrix_cast_size(ombrix_cast* cast, int index, int timeout_ms, int* width, int* height)
{
    if (index < 0 || index >= cast->count) {
        return -1;
    }
    struct cast_stream* s = &cast->streams[index];
    struct timespec until;
    int result = 0;
    pw_thread_loop_lock(cast->loop);
    pw_thread_loop_get_time(cast->loop, &until, (int64_t)timeout_ms * SPA_NSEC_PER_MSEC);
    for (;;) {
        if (cast->core_failed || s->failed) {
            result = -1;
            break;
        }
        if (s->format_known && s->width > 0 && s->height > 0) {
            *width = s->width;
            *height = s->height;
            result = 1;
            break;
        }
        if (pw_thread_loop_timed_wait_full(cast->loop, &until) == -ETIMEDOUT) {
            break;
        }
    }
    pw_thread_loop_unlock(cast->loop);
    return result;
}

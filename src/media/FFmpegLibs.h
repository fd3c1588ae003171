// Entry-point tables of the media libraries, SDL and the C runtime.
//
// Nothing links these libraries at build time: FFmpegLoader opens each one with
// dlopen and binds every name listed here into its table. Every pointer is
// typed with decltype of the real declaration, so a signature cannot drift
// from the headers we compile against. Media code calls only through these
// tables (lavc.avcodec_open2(...)); a direct call would not link.
//
// To use a new entry point, add its name to the library's list below.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavdevice/avdevice.h>
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/avstring.h>
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libavutil/log.h>
#include <libavutil/mathematics.h>
#include <libavutil/mem.h>
#include <libavutil/opt.h>
#include <libavutil/parseutils.h>
#include <libavutil/pixdesc.h>
#include <libavutil/samplefmt.h>
#include <libavutil/time.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
#include <SDL2/SDL.h>
}

#include <cstdio>
#include <cstdlib>
#include <cstring>

#define TOLVANE_AVCODEC_ENTRIES(X)                                                       \
  X(av_codec_is_decoder) X(av_codec_is_encoder) X(av_codec_iterate)                      \
  X(av_get_bits_per_sample) X(av_get_exact_bits_per_sample) X(av_get_profile_name)       \
  X(av_packet_alloc) X(av_packet_clone) X(av_packet_free) X(av_packet_make_writable)     \
  X(av_packet_ref) X(av_packet_rescale_ts) X(av_packet_unref) X(av_new_packet)           \
  X(av_packet_get_side_data) X(av_packet_new_side_data)                                  \
  X(av_bsf_alloc) X(av_bsf_free) X(av_bsf_get_by_name) X(av_bsf_init)                    \
  X(av_bsf_receive_packet) X(av_bsf_send_packet) X(av_bsf_flush)                         \
  X(av_parser_init) X(av_parser_parse2) X(av_parser_close)                               \
  X(avcodec_alloc_context3) X(avcodec_free_context) X(avcodec_close)                     \
  X(avcodec_descriptor_get) X(avcodec_find_decoder) X(avcodec_find_decoder_by_name)      \
  X(avcodec_find_encoder) X(avcodec_find_encoder_by_name) X(avcodec_flush_buffers)       \
  X(avcodec_get_class) X(avcodec_get_name) X(avcodec_open2)                              \
  X(avcodec_parameters_alloc) X(avcodec_parameters_copy) X(avcodec_parameters_free)      \
  X(avcodec_parameters_from_context) X(avcodec_parameters_to_context)                    \
  X(avcodec_receive_frame) X(avcodec_receive_packet) X(avcodec_send_frame)               \
  X(avcodec_send_packet) X(avcodec_decode_subtitle2) X(avcodec_encode_subtitle)          \
  X(avsubtitle_free) X(avcodec_string) X(avcodec_version)                              \
  X(av_packet_move_ref)

#define TOLVANE_AVDEVICE_ENTRIES(X) X(avdevice_register_all) X(avdevice_version)

#define TOLVANE_AVFILTER_ENTRIES(X)                                                      \
  X(avfilter_get_by_name) X(avfilter_graph_alloc) X(avfilter_graph_free)                 \
  X(avfilter_graph_create_filter) X(avfilter_graph_parse_ptr) X(avfilter_graph_config)   \
  X(avfilter_graph_alloc_filter) X(avfilter_init_str) X(avfilter_inout_alloc)            \
  X(avfilter_inout_free) X(avfilter_link) X(av_buffersrc_add_frame_flags)                \
  X(av_buffersrc_parameters_alloc) X(av_buffersrc_parameters_set)                        \
  X(av_buffersink_get_frame) X(av_buffersink_get_frame_flags)                            \
  X(av_buffersink_get_time_base) X(av_buffersink_get_w) X(av_buffersink_get_h)           \
  X(av_buffersink_get_format) X(av_buffersink_get_frame_rate)                            \
  X(av_buffersink_get_sample_aspect_ratio) X(avfilter_version)

#define TOLVANE_AVFORMAT_ENTRIES(X)                                                      \
  X(av_demuxer_iterate) X(av_muxer_iterate) X(av_dump_format) X(av_find_best_stream)     \
  X(av_find_input_format) X(av_guess_format) X(av_guess_codec) X(av_guess_frame_rate)    \
  X(av_guess_sample_aspect_ratio) X(av_interleaved_write_frame) X(av_write_frame)        \
  X(av_new_program) X(av_program_add_stream_index) X(av_read_frame) X(av_read_pause)     \
  X(av_read_play) X(av_seek_frame) X(av_write_trailer) X(av_filename_number_test)        \
  X(av_codec_get_id) X(av_codec_get_tag) X(av_stream_get_parser) X(av_stream_new_side_data)                         \
  X(avformat_alloc_context) X(avformat_alloc_output_context2) X(avformat_close_input)    \
  X(avformat_find_stream_info) X(avformat_free_context) X(avformat_get_class)            \
  X(avformat_new_stream) X(avformat_open_input) X(avformat_query_codec)                  \
  X(avformat_seek_file) X(avformat_write_header) X(avformat_init_output)                 \
  X(avio_closep) X(avio_open2) X(avio_size) X(avio_seek) X(avio_flush) X(avio_feof)      \
  X(avio_find_protocol_name) X(avio_enum_protocols) X(avformat_version)

#define TOLVANE_AVUTIL_ENTRIES(X)                                                        \
  X(av_log) X(av_log_default_callback) X(av_log_get_level) X(av_log_set_callback)       \
  X(av_log_set_level) X(av_default_item_name) X(av_strerror)                             \
  X(av_malloc) X(av_mallocz) X(av_realloc) X(av_realloc_array) X(av_free) X(av_freep)   \
  X(av_strdup) X(av_strlcpy) X(av_strstart)                                              \
  X(av_dict_get) X(av_dict_set) X(av_dict_set_int) X(av_dict_copy) X(av_dict_free)       \
  X(av_dict_count)                                                                       \
  X(av_frame_alloc) X(av_frame_free) X(av_frame_ref) X(av_frame_unref) X(av_frame_clone) \
  X(av_frame_get_buffer) X(av_frame_make_writable) X(av_frame_is_writable) X(av_frame_copy) X(av_frame_copy_props) \
  X(av_compare_ts) X(av_gcd) X(av_reduce) X(av_rescale) X(av_rescale_q) X(av_rescale_rnd) \
  X(av_rescale_q_rnd) X(av_d2q) X(av_find_nearest_q_idx) X(av_mul_q) X(av_div_q)         \
  X(av_get_pix_fmt) X(av_get_pix_fmt_name) X(av_pix_fmt_desc_get) X(av_get_bits_per_pixel) X(av_get_sample_fmt)   \
  X(av_get_sample_fmt_name) X(av_get_bytes_per_sample) X(av_sample_fmt_is_planar)        \
  X(av_get_packed_sample_fmt) X(av_get_media_type_string) X(av_get_picture_type_char)                                \
  X(av_channel_layout_default) X(av_channel_layout_uninit) X(av_channel_layout_copy)     \
  X(av_channel_layout_describe) X(av_channel_layout_compare) X(av_channel_layout_from_mask) \
  X(av_image_alloc) X(av_image_copy) X(av_image_fill_arrays) X(av_image_get_buffer_size) \
  X(av_image_fill_linesizes)                                                             \
  X(av_samples_alloc) X(av_samples_alloc_array_and_samples) X(av_samples_get_buffer_size) X(av_samples_set_silence)            \
  X(av_samples_copy)                                                                     \
  X(av_audio_fifo_alloc) X(av_audio_fifo_free) X(av_audio_fifo_read)                     \
  X(av_audio_fifo_write) X(av_audio_fifo_size) X(av_audio_fifo_drain)                    \
  X(av_opt_find) X(av_opt_get) X(av_opt_set) X(av_opt_set_int) X(av_opt_set_bin)         \
  X(av_opt_set_defaults) X(av_opt_next) X(av_opt_child_class_iterate)                    \
  X(av_parse_time) X(av_parse_video_rate) X(av_parse_video_size)                         \
  X(av_gettime) X(av_gettime_relative) X(av_usleep) X(avutil_version)                    \
  X(av_frame_move_ref)

#define TOLVANE_SWSCALE_ENTRIES(X)                                                       \
  X(sws_alloc_context) X(sws_freeContext) X(sws_getCachedContext) X(sws_getContext)      \
  X(sws_get_class) X(sws_init_context) X(sws_scale) X(swscale_version)

#define TOLVANE_SWRESAMPLE_ENTRIES(X)                                                    \
  X(swr_alloc) X(swr_alloc_set_opts2) X(swr_convert) X(swr_free) X(swr_get_delay)       \
  X(swr_init) X(swr_is_initialized) X(swr_set_compensation) X(swr_get_class)             \
  X(swresample_version)

// The C runtime serves file access and formatting of data the media libraries
// hand over (the log hook formats with vsnprintf, ReadWholeFile reads with it).
#define TOLVANE_CRT_ENTRIES(X)                                                           \
  X(fclose) X(fopen) X(fprintf) X(fread) X(fseek) X(ftell) X(fwrite) X(snprintf)        \
  X(strtod) X(strtol) X(vsnprintf)

#define TOLVANE_SDL_ENTRIES(X)                                                           \
  X(SDL_Init) X(SDL_InitSubSystem) X(SDL_QuitSubSystem) X(SDL_Quit) X(SDL_GetError)      \
  X(SDL_OpenAudioDevice) X(SDL_CloseAudioDevice) X(SDL_PauseAudioDevice)                 \
  X(SDL_LockAudioDevice) X(SDL_UnlockAudioDevice) X(SDL_MixAudioFormat)                  \
  X(SDL_GetCurrentAudioDriver) X(SDL_GetNumAudioDrivers) X(SDL_GetAudioDriver)           \
  X(SDL_GetVersion)

#define TOLVANE_DECLARE_ENTRY(name) decltype(&::name) name = nullptr;

struct AVCodecEntries { TOLVANE_AVCODEC_ENTRIES(TOLVANE_DECLARE_ENTRY) };
struct AVDeviceEntries { TOLVANE_AVDEVICE_ENTRIES(TOLVANE_DECLARE_ENTRY) };
struct AVFilterEntries { TOLVANE_AVFILTER_ENTRIES(TOLVANE_DECLARE_ENTRY) };
struct AVFormatEntries { TOLVANE_AVFORMAT_ENTRIES(TOLVANE_DECLARE_ENTRY) };
struct AVUtilEntries { TOLVANE_AVUTIL_ENTRIES(TOLVANE_DECLARE_ENTRY) };
struct SwScaleEntries { TOLVANE_SWSCALE_ENTRIES(TOLVANE_DECLARE_ENTRY) };
struct SwResampleEntries { TOLVANE_SWRESAMPLE_ENTRIES(TOLVANE_DECLARE_ENTRY) };
struct CRTEntries { TOLVANE_CRT_ENTRIES(TOLVANE_DECLARE_ENTRY) };
struct SDLEntries { TOLVANE_SDL_ENTRIES(TOLVANE_DECLARE_ENTRY) };

#undef TOLVANE_DECLARE_ENTRY

// One table per library; empty (all null) while the library is not loaded.
extern AVCodecEntries lavc;
extern AVDeviceEntries lavd;
extern AVFilterEntries lavfi;
extern AVFormatEntries lavf;
extern AVUtilEntries lavu;
extern SwScaleEntries sws;
extern SwResampleEntries swr;
extern CRTEntries crt;
extern SDLEntries sdl;

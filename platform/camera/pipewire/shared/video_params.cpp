#include "platform/camera/pipewire/shared/video_params.h"

#include <spa/buffer/buffer.h>
#include <spa/buffer/meta.h>
#include <spa/param/buffers.h>
#include <spa/param/video/format-utils.h>

namespace platform::camera::pipewire {

VideoParams::VideoParams() {
  spa_pod_builder_init(&builder_, memory_.data(), static_cast<uint32_t>(memory_.size()));
}

void VideoParams::addFixedFormat(VideoSize size, bool alsoBGRx) {
  spa_rectangle rectangle = SPA_RECTANGLE(size.width, size.height);
  spa_fraction rate = SPA_FRACTION(30, 1);
  const void* pod =
      alsoBGRx
          ? spa_pod_builder_add_object(
                &builder_, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
                SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
                SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
                SPA_POD_CHOICE_ENUM_Id(3, SPA_VIDEO_FORMAT_BGRA, SPA_VIDEO_FORMAT_BGRA,
                                       SPA_VIDEO_FORMAT_BGRx),
                SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&rectangle), SPA_FORMAT_VIDEO_framerate,
                SPA_POD_Fraction(&rate))
          : spa_pod_builder_add_object(
                &builder_, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
                SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
                SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
                SPA_POD_Id(SPA_VIDEO_FORMAT_BGRA), SPA_FORMAT_VIDEO_size,
                SPA_POD_Rectangle(&rectangle), SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&rate));
  params_.push_back(static_cast<const spa_pod*>(pod));
}

void VideoParams::addAnySizeFormat() {
  spa_rectangle preferred = SPA_RECTANGLE(1920, 1080);
  spa_rectangle smallest = SPA_RECTANGLE(1, 1);
  spa_rectangle largest = SPA_RECTANGLE(kMaxVideoDimension, kMaxVideoDimension);
  spa_fraction rate = SPA_FRACTION(30, 1);
  spa_fraction slowest = SPA_FRACTION(0, 1);
  spa_fraction fastest = SPA_FRACTION(1000, 1);
  params_.push_back(static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &builder_, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
      SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw),
      SPA_FORMAT_VIDEO_format,
      SPA_POD_CHOICE_ENUM_Id(3, SPA_VIDEO_FORMAT_BGRA, SPA_VIDEO_FORMAT_BGRA,
                             SPA_VIDEO_FORMAT_BGRx),
      SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&preferred, &smallest, &largest),
      SPA_FORMAT_VIDEO_framerate, SPA_POD_CHOICE_RANGE_Fraction(&rate, &slowest, &fastest))));
}

void VideoParams::addBuffers(VideoSize size, BufferCounts counts) {
  const int stride = static_cast<int>(size.width) * 4;
  params_.push_back(static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &builder_, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
      SPA_POD_CHOICE_RANGE_Int(counts.preferred, counts.minimum, counts.maximum),
      SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1), SPA_PARAM_BUFFERS_size,
      SPA_POD_Int(stride * static_cast<int>(size.height)), SPA_PARAM_BUFFERS_stride,
      SPA_POD_Int(stride), SPA_PARAM_BUFFERS_dataType,
      SPA_POD_CHOICE_FLAGS_Int(1 << SPA_DATA_MemFd))));
}

void VideoParams::addHeaderMeta() {
  params_.push_back(static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &builder_, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
      SPA_POD_Id(SPA_META_Header), SPA_PARAM_META_size,
      SPA_POD_Int(sizeof(struct spa_meta_header)))));
}

std::optional<VideoSize> parseVideoFormat(const spa_pod* format) {
  if (format == nullptr) return std::nullopt;
  uint32_t mediaType = 0;
  uint32_t mediaSubtype = 0;
  if (spa_format_parse(format, &mediaType, &mediaSubtype) < 0 ||
      mediaType != SPA_MEDIA_TYPE_video || mediaSubtype != SPA_MEDIA_SUBTYPE_raw) {
    return std::nullopt;
  }
  spa_video_info_raw info{};
  if (spa_format_video_raw_parse(format, &info) < 0) return std::nullopt;
  if (info.format != SPA_VIDEO_FORMAT_BGRA && info.format != SPA_VIDEO_FORMAT_BGRx) {
    return std::nullopt;
  }
  if (info.size.width < 1 || info.size.height < 1 || info.size.width > kMaxVideoDimension ||
      info.size.height > kMaxVideoDimension) {
    return std::nullopt;
  }
  return VideoSize{info.size.width, info.size.height};
}

}  // namespace platform::camera::pipewire

#include "platform/camera/pipewire/shared/video_params.h"

#include <spa/buffer/buffer.h>
#include <spa/buffer/meta.h>
#include <spa/param/buffers.h>
#include <spa/param/video/format-utils.h>

#include <algorithm>

namespace platform::camera::pipewire {
namespace {

// PipeWire's names for our pixel formats: its BGRA is blue, green, red, alpha in memory, as ours.
struct PixelFormatName {
  media::FourCC ours;
  uint32_t pipeWire;
};
constexpr PixelFormatName kPixelFormatNames[] = {
    {media::kPixelFormat32BGRA, SPA_VIDEO_FORMAT_BGRA},
    {media::kPixelFormat32BGRX, SPA_VIDEO_FORMAT_BGRx},
    {media::kPixelFormatYUY2, SPA_VIDEO_FORMAT_YUY2},
};

uint32_t pipeWireFormatOf(media::FourCC pixelFormat) {
  for (const PixelFormatName& name : kPixelFormatNames) {
    if (name.ours == pixelFormat) return name.pipeWire;
  }
  return SPA_VIDEO_FORMAT_UNKNOWN;
}

std::optional<media::FourCC> pixelFormatOf(uint32_t pipeWireFormat) {
  for (const PixelFormatName& name : kPixelFormatNames) {
    if (name.pipeWire == pipeWireFormat) return name.ours;
  }
  return std::nullopt;
}

}  // namespace

uint32_t VideoFormat::rowBytes() const {
  return static_cast<uint32_t>(
      media::unpaddedBytesPerRow(pixelFormat, static_cast<int>(size.width)));
}

std::vector<VideoFormat> outputFormats(const std::vector<VideoSize>& sizes) {
  std::vector<VideoFormat> formats;
  for (media::FourCC pixelFormat : kOutputPixelFormats) {
    for (const VideoSize& size : sizes) formats.push_back({pixelFormat, size});
  }
  return formats;
}

VideoParams::VideoParams() {
  spa_pod_builder_init(&builder_, memory_.data(), static_cast<uint32_t>(memory_.size()));
}

void VideoParams::addFixedFormat(const VideoFormat& format) {
  spa_rectangle rectangle = SPA_RECTANGLE(format.size.width, format.size.height);
  spa_fraction rate = SPA_FRACTION(30, 1);
  spa_pod_frame frame;
  spa_pod_builder_push_object(&builder_, &frame, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat);
  spa_pod_builder_add(&builder_, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
                      SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw),
                      SPA_FORMAT_VIDEO_format, SPA_POD_Id(pipeWireFormatOf(format.pixelFormat)),
                      SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&rectangle),
                      SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&rate), 0);
  if (format.pixelFormat == media::kPixelFormatYUY2) {
    spa_pod_builder_add(&builder_, SPA_FORMAT_VIDEO_colorMatrix,
                        SPA_POD_Id(SPA_VIDEO_COLOR_MATRIX_BT601), SPA_FORMAT_VIDEO_colorRange,
                        SPA_POD_Id(SPA_VIDEO_COLOR_RANGE_16_235), 0);
  }
  params_.push_back(static_cast<const spa_pod*>(spa_pod_builder_pop(&builder_, &frame)));
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

void VideoParams::addBuffers(const VideoFormat& format, BufferCounts counts) {
  const auto stride = static_cast<int>(format.rowBytes());
  params_.push_back(static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &builder_, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
      SPA_POD_CHOICE_RANGE_Int(counts.preferred, counts.minimum, counts.maximum),
      SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1), SPA_PARAM_BUFFERS_size,
      SPA_POD_Int(static_cast<int>(format.pictureBytes())), SPA_PARAM_BUFFERS_stride,
      SPA_POD_Int(stride), SPA_PARAM_BUFFERS_dataType,
      SPA_POD_CHOICE_FLAGS_Int(1 << SPA_DATA_MemFd))));
}

void VideoParams::addHeaderMeta() {
  params_.push_back(static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &builder_, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
      SPA_POD_Id(SPA_META_Header), SPA_PARAM_META_size,
      SPA_POD_Int(sizeof(struct spa_meta_header)))));
}

std::optional<VideoFormat> parseVideoFormat(const spa_pod* format,
                                            std::span<const media::FourCC> accepted) {
  if (format == nullptr) return std::nullopt;
  uint32_t mediaType = 0;
  uint32_t mediaSubtype = 0;
  if (spa_format_parse(format, &mediaType, &mediaSubtype) < 0 ||
      mediaType != SPA_MEDIA_TYPE_video || mediaSubtype != SPA_MEDIA_SUBTYPE_raw) {
    return std::nullopt;
  }
  spa_video_info_raw info{};
  if (spa_format_video_raw_parse(format, &info) < 0) return std::nullopt;
  const std::optional<media::FourCC> pixelFormat = pixelFormatOf(info.format);
  if (!pixelFormat || std::find(accepted.begin(), accepted.end(), *pixelFormat) == accepted.end()) {
    return std::nullopt;
  }
  if (info.size.width < 1 || info.size.height < 1 || info.size.width > kMaxVideoDimension ||
      info.size.height > kMaxVideoDimension) {
    return std::nullopt;
  }
  return VideoFormat{*pixelFormat, {info.size.width, info.size.height}};
}

}  // namespace platform::camera::pipewire

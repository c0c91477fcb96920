// Reader of COCO JSON: a ground truth ({"images", "annotations",
// "categories"}, with or without the video extension's "videos" and the
// images' "video_id" and "frame_id"), or a results list ([{"image_id",
// "category_id", "bbox", "score"}, ...]) read beside the ground truth whose
// images it names.
#pragma once

#include "annotation/format_support.h"

namespace formats {

/// Reads the input of `maker` as COCO JSON. An image's frame is its
/// "frame_id", or else the last run of digits in its "file_name"; the
/// images must be of one video. "iscrowd" boxes are don't-care regions. A
/// results list takes its images and categories from
/// `options().imagesFrom`. False with the failure set, naming the line of
/// the element, when the JSON or an element is malformed.
bool readCoco(RecordMaker& maker);

}  // namespace formats

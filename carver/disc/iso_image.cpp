#include "carver/disc/iso_image.h"

#include <cstdint>  // libisofs.h uses the fixed-width types without including their header

#include <libisofs/libisofs.h>

#include <mutex>

namespace ov::disc::detail {
namespace {

// Releases an image or a set of write options when the builder is left.
struct ImageRef {
  IsoImage* image = nullptr;
  ~ImageRef() {
    if (image) iso_image_unref(image);
  }
};
struct OptionsRef {
  IsoWriteOpts* options = nullptr;
  ~OptionsRef() {
    if (options) iso_write_opts_free(options);
  }
};

std::string failure(const char* what, int code) {
  std::string text = std::string(what) + ": " + iso_error_to_msg(code);
  const std::string queued = takeIsoMessage();
  if (!queued.empty() && queued != iso_error_to_msg(code)) text += " (" + queued + ")";
  return text;
}

}  // namespace

bool startIsoLibrary(std::string& error) {
  static std::once_flag once;
  static int started = 0;
  std::call_once(once, [] {
    started = iso_init();
    if (started < 0) return;
    // Nothing is printed on the terminal; failures are queued and taken into the error texts.
    iso_set_msgs_severities(const_cast<char*>("FAILURE"), const_cast<char*>("NEVER"), const_cast<char*>("libisofs"));
    // The staged names are UTF-8 whatever the locale of the program.
    iso_set_local_charset(const_cast<char*>("UTF-8"), 0);
  });
  if (started < 0) {
    error = std::string("The disc image library cannot start: ") + iso_error_to_msg(started);
    return false;
  }
  return true;
}

void* buildIsoStream(const std::vector<Graft>& contents, const std::string& label, std::string& error) {
  if (!startIsoLibrary(error)) return nullptr;
  takeIsoMessage();  // messages of an earlier image do not belong to this one
  ImageRef image;
  int rc = iso_image_new(label.c_str(), &image.image);
  if (rc < 0) {
    error = failure("Cannot create the disc image", rc);
    return nullptr;
  }
  iso_image_set_volume_id(image.image, label.c_str());
  iso_image_set_application_id(image.image, label.c_str());
  // The staged folders are the program's own: links (there should be none) are kept as links.
  iso_tree_set_follow_symlinks(image.image, 0);
  iso_tree_set_ignore_hidden(image.image, 0);
  IsoDir* root = iso_image_get_root(image.image);
  for (const Graft& graft : contents) {
    IsoDir* at = root;
    if (!graft.discPath.empty()) {
      rc = iso_tree_add_new_dir(root, graft.discPath.c_str(), &at);
      if (rc < 0) {
        error = failure(("Cannot add the folder \"" + graft.discPath + "\" to the disc image").c_str(), rc);
        return nullptr;
      }
    }
    rc = iso_tree_add_dir_rec(image.image, at, graft.folder.c_str());
    if (rc < 0) {
      error = failure(("Cannot add \"" + graft.folder + "\" to the disc image").c_str(), rc);
      return nullptr;
    }
  }

  OptionsRef options;
  // Rock Ridge and Joliet, permissions and times as for distribution.
  rc = iso_write_opts_new(&options.options, 2);
  if (rc < 0) {
    error = failure("Cannot set up the disc image", rc);
    return nullptr;
  }
  iso_write_opts_set_iso_level(options.options, 3);  // files of 4 GiB and more
  iso_write_opts_set_rockridge(options.options, 1);
  iso_write_opts_set_joliet(options.options, 1);
  // Joliet names of up to 103 characters, paths beyond 240 and characters beyond UCS-2: what
  // Windows reads, and far fewer names cut short than by the letter of Joliet.
  iso_write_opts_set_joliet_long_names(options.options, 1);
  iso_write_opts_set_joliet_longer_paths(options.options, 1);
  iso_write_opts_set_joliet_utf16(options.options, 1);
  // The label as given ("Ovelin") also in the primary descriptor, not folded to capitals.
  iso_write_opts_set_relaxed_vol_atts(options.options, 1);
  struct burn_source* stream = nullptr;
  rc = iso_image_create_burn_source(image.image, options.options, &stream);
  if (rc < 0 || !stream) {
    error = failure("Cannot build the disc image", rc < 0 ? rc : static_cast<int>(ISO_ERROR));
    return nullptr;
  }
  return stream;
}

std::string takeIsoMessage() {
  std::string worst;
  int worstRank = -1;
  char text[4096], severity[80];
  int code = 0, imageId = 0;
  while (iso_obtain_msgs(const_cast<char*>("ALL"), &code, &imageId, text, severity) == 1) {
    int rank = 0;
    iso_text_to_sev(severity, &rank);
    if (rank >= worstRank) {
      worstRank = rank;
      worst = text;
    }
  }
  return worst;
}

}  // namespace ov::disc::detail

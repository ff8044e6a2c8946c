#include "carver/disc/disc_writer.h"

#include <cstdint>
#include <cstdlib>

#include <libburn/libburn.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "carver/disc/iso_image.h"

namespace ov::disc {
namespace {

using namespace burn;

constexpr off_t kBlock = 2048;

bool startBurnLibrary(std::string& error) {
  static std::once_flag once;
  static int started = 0;
  std::call_once(once, [] {
    started = burn_initialize();
    if (!started) return;
    // Nothing on the terminal; what failed is queued and taken into the texts shown.
    burn_msgs_set_severities(const_cast<char*>("SORRY"), const_cast<char*>("NEVER"), const_cast<char*>("libburn"));
  });
  if (!started) {
    error = "The disc writing library cannot start.";
    return false;
  }
  return true;
}

// The most severe message libburn queued since the last call, or empty.
std::string takeBurnMessage() {
  std::string worst;
  int worstRank = -1;
  char text[BURN_MSGS_MESSAGE_LEN], severity[80];
  int code = 0, osErrno = 0;
  while (burn_msgs_obtain(const_cast<char*>("ALL"), &code, text, &osErrno, severity) == 1) {
    int rank = 0;
    burn_text_to_sev(severity, &rank, 0);
    if (rank >= worstRank) {
      worstRank = rank;
      worst = text;
    }
  }
  return worst;
}

std::string withDetail(std::string text, const std::string& detail) {
  if (!detail.empty()) text += "\n" + detail;
  return text;
}

// A drive held for this operation; released (never ejected) when left.
class GrabbedDrive {
 public:
  GrabbedDrive() = default;
  GrabbedDrive(const GrabbedDrive&) = delete;
  GrabbedDrive& operator=(const GrabbedDrive&) = delete;
  ~GrabbedDrive() {
    if (drive_) burn_drive_release(drive_, 0);
    if (infos_) burn_drive_info_free(infos_);
  }

  bool grab(const std::string& address, std::string& error) {
    if (!startBurnLibrary(error)) return false;
    takeBurnMessage();
    std::string copy = address;
    if (burn_drive_scan_and_grab(&infos_, copy.data(), 1) <= 0) {
      infos_ = nullptr;
      error = withDetail("The burning device " + address + " cannot be opened.", takeBurnMessage());
      return false;
    }
    drive_ = infos_[0].drive;
    return true;
  }
  burn_drive* get() const { return drive_; }

 private:
  burn_drive_info* infos_ = nullptr;
  burn_drive* drive_ = nullptr;
};

bool readOnlyProfile(int profile) { return profile == 0x08 || profile == 0x10 || profile == 0x40; }

// The medium's state, waiting a few seconds for a drive that is still spinning up.
Medium inspect(burn_drive* drive) {
  Medium m;
  m.fileDrive = burn_drive_get_drive_role(drive) != 1;
  burn_disc_status status = burn_disc_get_status(drive);
  for (int i = 0; i < 50 && status == BURN_DISC_UNREADY; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    status = burn_disc_get_status(drive);
  }
  int profile = 0;
  char profileName[80] = {};
  burn_disc_get_profile(drive, &profile, profileName);
  switch (status) {
    case BURN_DISC_BLANK:
      if (readOnlyProfile(profile)) m.problem = kInsertWritableMediaText;
      break;
    case BURN_DISC_EMPTY:
      m.problem = kInsertMediaText;
      break;
    case BURN_DISC_APPENDABLE:
    case BURN_DISC_FULL:
      // A pressed disc can never be written; a written one only once it is blank again.
      m.problem = readOnlyProfile(profile) ? kInsertWritableMediaText : kInsertBlankMediaText;
      break;
    default:
      m.problem = kInsertWritableMediaText;
      break;
  }
  if (m.problem.empty()) {
    burn_write_opts* options = burn_write_opts_new(drive);
    const off_t space = burn_disc_available_space(drive, options);
    if (options) burn_write_opts_free(options);
    m.capacity = space > 0 ? static_cast<std::uint64_t>(space) : 0;
  }
  return m;
}

// The image stream as libburn reads it, through a gate that refuses data once the user stopped,
// so that a stop ends the writing at the next block (libisofs's own buffer aside).
struct Gate {
  burn_source* inner = nullptr;
  const RunControl* run = nullptr;
  std::atomic<bool> closed{false};
};

int gateRead(burn_source* source, unsigned char* buffer, int size) {
  auto* gate = static_cast<Gate*>(source->data);
  if (!gate->run->running() && !gate->closed.exchange(true)) {
    // The image's own thread is ended too.
    if (gate->inner->version > 0 && gate->inner->cancel) gate->inner->cancel(gate->inner);
  }
  if (gate->closed.load()) return -1;
  burn_source* inner = gate->inner;
  return inner->read ? inner->read(inner, buffer, size) : inner->read_xt(inner, buffer, size);
}

off_t gateSize(burn_source* source) {
  auto* gate = static_cast<Gate*>(source->data);
  return gate->inner->get_size(gate->inner);
}

int gateSetSize(burn_source* source, off_t size) {
  auto* gate = static_cast<Gate*>(source->data);
  return gate->inner->set_size(gate->inner, size);
}

int gateCancel(burn_source* source) {
  auto* gate = static_cast<Gate*>(source->data);
  if (!gate->closed.exchange(true) && gate->inner->version > 0 && gate->inner->cancel) gate->inner->cancel(gate->inner);
  return 1;
}

void gateFree(burn_source* source) {
  auto* gate = static_cast<Gate*>(source->data);
  burn_source_free(gate->inner);
  delete gate;
}

// Takes over the reference to `inner`; the result is freed with burn_source_free.
burn_source* newGate(burn_source* inner, const RunControl& run) {
  auto* source = static_cast<burn_source*>(std::calloc(1, sizeof(burn_source)));
  if (!source) {
    burn_source_free(inner);
    return nullptr;
  }
  auto* gate = new Gate;
  gate->inner = inner;
  gate->run = &run;
  source->refcount = 1;
  source->version = 1;
  source->read_xt = gateRead;
  source->get_size = gateSize;
  source->set_size = gateSetSize;
  source->free_data = gateFree;
  source->cancel = gateCancel;
  source->data = gate;
  return source;
}

// The disc layout of one data track, freed when left.
struct Layout {
  burn_disc* disc = burn_disc_create();
  burn_session* session = burn_session_create();
  burn_track* track = burn_track_create();
  ~Layout() {
    if (track) burn_track_free(track);
    if (session) burn_session_free(session);
    if (disc) burn_disc_free(disc);
  }
};

struct Options {
  burn_write_opts* options = nullptr;
  ~Options() {
    if (options) burn_write_opts_free(options);
  }
};

std::string megabytes(std::uint64_t bytes) {
  char text[40];
  std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1048576.0);
  return text;
}

}  // namespace

std::vector<Writer> listWriters() {
  std::vector<Writer> out;
  std::string error;
  if (!startBurnLibrary(error)) return out;
  burn_drive_info* infos = nullptr;
  unsigned int count = 0;
  int rc = 0;
  while ((rc = burn_drive_scan(&infos, &count)) == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  takeBurnMessage();
  if (rc < 0 || !infos) return out;
  for (unsigned int i = 0; i < count; ++i) {
    const burn_drive_info& info = infos[i];
    bool writes = info.write_cdr || info.write_cdrw || info.write_dvdr || info.write_dvdram;
    int profiles[64] = {};
    char current[64] = {};
    int profileCount = 0;
    if (!writes && burn_drive_get_all_profiles(info.drive, &profileCount, profiles, current) == 1) {
      for (int p = 0; p < profileCount && p < 64; ++p)
        switch (profiles[p]) {
          case 0x09: case 0x0a: case 0x11: case 0x12: case 0x13: case 0x14: case 0x15:
          case 0x1a: case 0x1b: case 0x2b: case 0x41: case 0x43:
            writes = true;
            break;
          default:
            break;
        }
    }
    if (!writes) continue;
    char address[BURN_DRIVE_ADR_LEN] = {};
    if (burn_drive_d_get_adr(info.drive, address) <= 0) continue;
    auto field = [](const char* text, std::size_t size) {
      std::string s(text, strnlen(text, size));
      while (!s.empty() && s.back() == ' ') s.pop_back();
      return s;
    };
    std::string name = field(info.vendor, sizeof info.vendor);
    const std::string product = field(info.product, sizeof info.product);
    if (!product.empty()) name += (name.empty() ? "" : " ") + product;
    name += (name.empty() ? "(" : " (") + std::string(address) + ")";
    out.push_back({address, name});
  }
  burn_drive_info_free(infos);
  return out;
}

std::string fileDriveAddress(int fd) { return "stdio:/dev/fd/" + std::to_string(fd); }

Medium checkMedium(const std::string& address) {
  GrabbedDrive drive;
  std::string error;
  if (!drive.grab(address, error)) {
    Medium m;
    m.problem = error;
    return m;
  }
  return inspect(drive.get());
}

WriteResult writeDisc(const WriteJob& job, RunControl& run) {
  WriteResult result;
  GrabbedDrive drive;
  if (!drive.grab(job.address, result.message)) return result;
  const Medium medium = inspect(drive.get());
  if (!medium.problem.empty()) {
    result.message = medium.problem;
    return result;
  }
  if (!run.running()) {
    result.outcome = WriteOutcome::Stopped;
    return result;
  }

  auto* image = static_cast<burn_source*>(detail::buildIsoStream(job.contents, job.label, result.message));
  if (!image) return result;
  burn_source* source = newGate(image, run);
  if (!source) {
    result.message = "Out of memory for the disc image.";
    return result;
  }
  const off_t size = source->get_size(source);
  result.imageBytes = size > 0 ? static_cast<std::uint64_t>(size) : 0;
  auto give_up = [&](WriteOutcome outcome, std::string message) {
    source->cancel(source);
    burn_source_free(source);
    result.outcome = outcome;
    result.message = std::move(message);
    return result;
  };
  if (!run.running()) return give_up(WriteOutcome::Stopped, {});
  if (job.mediumBytes > 0 && result.imageBytes > job.mediumBytes) return give_up(WriteOutcome::Failed, kHigherCapacityText);
  if (result.imageBytes > medium.capacity) {
    if (!medium.fileDrive) return give_up(WriteOutcome::Failed, kHigherCapacityText);
    return give_up(WriteOutcome::Failed, "There is not enough free space for the disc image: it needs " +
                                             megabytes(result.imageBytes) + ", " + megabytes(medium.capacity) +
                                             " are free.");
  }

  Layout layout;
  Options options;
  options.options = burn_write_opts_new(drive.get());
  if (!layout.disc || !layout.session || !layout.track || !options.options)
    return give_up(WriteOutcome::Failed, "Out of memory for the disc layout.");
  burn_disc_add_session(layout.disc, layout.session, BURN_POS_END);
  burn_track_define_data(layout.track, 0, 0, 1, BURN_MODE1);
  if (burn_track_set_source(layout.track, source) != BURN_SOURCE_OK)
    return give_up(WriteOutcome::Failed, "The disc image cannot be read for writing.");
  burn_session_add_track(layout.session, layout.track, BURN_POS_END);
  burn_write_opts_set_perform_opc(options.options, 0);
  burn_write_opts_set_multi(options.options, 0);  // the disc is closed: readable everywhere
  burn_write_opts_set_underrun_proof(options.options, 1);
  char reasons[BURN_REASONS_LEN] = {};
  if (burn_write_opts_auto_write_type(options.options, layout.disc, reasons, 0) == BURN_WRITE_NONE)
    return give_up(WriteOutcome::Failed, withDetail(kInsertWritableMediaText, reasons));

  if (job.writing) job.writing(result.imageBytes);
  takeBurnMessage();
  burn_disc_write(options.options, layout.disc);
  result.mediumTouched = true;
  bool stopAsked = false;
  bool finalizing = false;
  burn_progress progress{};
  burn_drive_status status;
  while ((status = burn_drive_get_status(drive.get(), &progress)) == BURN_DRIVE_SPAWNING)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  while ((status = burn_drive_get_status(drive.get(), &progress)) != BURN_DRIVE_IDLE) {
    if (!run.running() && !stopAsked) {
      stopAsked = true;
      burn_drive_cancel(drive.get());
    }
    if (progress.sectors > 0 && job.progress) {
      const std::uint64_t done =
          std::min<std::uint64_t>(static_cast<std::uint64_t>(progress.sector) * kBlock, result.imageBytes);
      job.progress(result.imageBytes, done);
    }
    const bool closing = status == BURN_DRIVE_CLOSING_TRACK || status == BURN_DRIVE_CLOSING_SESSION ||
                         status == BURN_DRIVE_WRITING_LEADOUT ||
                         (progress.sectors > 0 && progress.sector >= progress.sectors);
    if (closing && !finalizing && !stopAsked) {
      finalizing = true;
      if (job.finalizing) job.finalizing();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  const bool wroteWell = burn_drive_wrote_well(drive.get()) == 1;
  const std::string why = takeBurnMessage();
  const std::string isoWhy = detail::takeIsoMessage();
  burn_source_free(source);  // the track holds its own reference until the layout is freed
  if (wroteWell) {
    if (!finalizing && job.finalizing) job.finalizing();
    if (job.progress) job.progress(result.imageBytes, result.imageBytes);
    result.outcome = WriteOutcome::Completed;
    return result;
  }
  if (stopAsked || !run.running()) {
    result.outcome = WriteOutcome::Stopped;
    return result;
  }
  result.outcome = WriteOutcome::Failed;
  result.message = withDetail("Writing the disc failed.", !why.empty() ? why : isoWhy);
  return result;
}

}  // namespace ov::disc

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "update.h"
#include "update_internal.h"

// Sending one image file: the checks before anything is sent, then the
// transfer in blocks, ended on every path.

using namespace update_internal;

namespace {

// The size of the pieces an image is read in (see load_block).
constexpr int32_t read_piece = 1 << 20;

// Owns what one upload opens, so that every return releases it.
struct Upload {
    int fd = -1;
    const char* path = nullptr;
    const char* image = nullptr;
    int64_t offset = 0;     // how much of the file has been read
    struct stat opened {};  // the file as it was when opened
    ViByte* buffer = nullptr;
    ~Upload() {
        std::free(buffer);
        if (fd >= 0) ::close(fd);
    }
};

// The whole buffer is written by the first block; its pages are mapped in
// one call rather than one fault per page (a 64 MiB block takes 16384).
// Only an optimisation: where the kernel cannot, the pages fault in as
// before.
void prefault(ViByte* buffer, size_t length) {
    const auto page = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
    const uintptr_t begin = (reinterpret_cast<uintptr_t>(buffer) + page - 1) & ~(page - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(buffer) + length) & ~(page - 1);
    if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE);
}

// Hands a piece just read to the observers that watch what is read; false
// when one of them refuses it.
bool observers_accept(const Upload& upload, const ViByte* piece, int32_t length) {
    bool accepted = true;
    for (const update_observer* o : observers()) {
        if (o->on_image_read && !o->on_image_read(o->context, upload.image, piece, length,
                                                  upload.offset, upload.opened.st_size))
            accepted = false;
    }
    return accepted;
}

// The descriptor `path` is read from: the first observer's that answers for
// it, else the file opened here. Opened without blocking: a FIFO (or a
// device) named as the image would otherwise hold us in open() while the
// instrument stays locked. Only a regular file has a length; anything else is
// refused by the caller.
int open_image_file(const char* image, const char* path) {
    for (const update_observer* o : observers()) {
        int fd = -1;
        if (o->open_image && o->open_image(o->context, image, path, &fd)) return fd;
    }
    return ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
}

// Sends one block message, telling the observers how much of the image has
// gone out; `before` image bytes were sent in earlier blocks.
bool write_block(ViSession vi, const Upload& upload, int32_t message, int32_t block, int64_t before,
                 int64_t total) {
    set_block_progress({upload.image, message - block, before, total});
    const bool sent = update_write_block(vi, upload.buffer, message);
    set_block_progress({});
    if (sent) notify(&update_observer::on_block_sent, upload.image, before + block, total);
    return sent;
}

// Builds the next block message in the transfer buffer: its header, then
// `length` bytes read straight from the file behind it. Returns the message
// length, or 0 when the file ended early.
int32_t load_block(Upload& upload, int32_t length) {
    const int header_length =
        update_format_block_header(length, reinterpret_cast<char*>(upload.buffer));
    // Read in pieces, so that an observer digests each while it is still in
    // the cache; a whole block is read before any of it is sent.
    ViByte* const into = upload.buffer + header_length;
    for (int32_t done = 0; done < length;) {
        const int32_t piece = std::min(read_piece, length - done);
        if (read_fully(upload.fd, into + done, piece) != piece) {
            std::fputs(text_short_file, err());
            return 0;
        }
        if (!observers_accept(upload, into + done, piece)) {
            std::fprintf(err(), text_file_changed, upload.path);
            return 0;
        }
        done += piece;
        upload.offset += piece;
    }
    // A file rewritten while it is sent would give the instrument an image
    // made of two: any change of size or modification time since it was
    // opened fails the upload before the block goes out.
    struct stat now;
    if (fstat(upload.fd, &now) != 0 || now.st_size != upload.opened.st_size ||
        now.st_mtim.tv_sec != upload.opened.st_mtim.tv_sec ||
        now.st_mtim.tv_nsec != upload.opened.st_mtim.tv_nsec ||
        now.st_ctim.tv_sec != upload.opened.st_ctim.tv_sec ||
        now.st_ctim.tv_nsec != upload.opened.st_ctim.tv_nsec) {
        std::fprintf(err(), text_file_changed, upload.path);
        return 0;
    }
    return header_length + length;
}

// Announces the image and sends the file in blocks of `block` bytes (the
// whole file when `block` is its length), checking the instrument's error
// queue on the way. False at the first failure, already reported; the caller
// then ends the transfer.
bool transfer(ViSession vi, Upload& upload, const char* image, int32_t block, int32_t length) {
    char command[command_capacity];
    const int command_length = std::snprintf(command, sizeof command, cmd_init, image,
                                             static_cast<int>(block), static_cast<int>(length));
    if (!send(vi, command, static_cast<ViUInt32>(command_length)) ||
        update_read_reply_code(vi) != 0 || update_check_scpi_errors(vi) != 0) {
        return false;
    }

    if (block >= length) {
        const int32_t message = load_block(upload, length);
        if (message == 0) return false;
        std::fputs(text_sending, out());
        std::fflush(out());
        if (!write_block(vi, upload, message, length, 0, length)) return false;
        std::fprintf(out(), text_bytes_sent, static_cast<long>(length));
        std::fputs(text_programming, out());
        std::fflush(out());
        notify(&update_observer::on_programming, static_cast<const char*>(image));
    } else {
        int64_t sent = 0;
        while (sent < length) {
            const int64_t next = sent + block;
            const auto this_block = static_cast<int32_t>(next > length ? length - sent : block);
            const int32_t message = load_block(upload, this_block);
            if (message == 0 || !write_block(vi, upload, message, this_block, sent, length))
                return false;
            sent = next > length ? length : next;
            std::fprintf(out(), text_progress, static_cast<int>(sent * 100 / length));
            std::fflush(out());
            if (update_check_scpi_errors(vi) != 0) return false;
        }
        notify(&update_observer::on_programming, static_cast<const char*>(image));
    }
    return update_check_scpi_errors(vi) == 0;
}

// The block size for a file of `length` bytes: the one requested (the whole
// file when none is), rounded up to the instrument's sector size and cut back
// to the file. False, reported, when no block size fits.
bool choose_block(ViSession vi, const char* image, int32_t requested, int32_t length,
                  int64_t* block) {
    // 64-bit arithmetic: rounding up to a sector may pass INT32_MAX before
    // being cut back to the file length.
    *block = requested > 0 ? requested : length;
    int32_t sector = 0;
    if (update_query_sector_size(vi, image, &sector) && sector > 0) {
        if (*block % sector != 0) *block = (*block / sector + 1) * sector;
        if (*block > length) *block = length;
    } else if (*block != length) {
        std::fprintf(err(), text_no_blocks, image);
        return false;
    }
    if (*block > update_block_length_max) {
        std::fprintf(err(), text_block_too_long, static_cast<long long>(*block));
        return false;
    }
    return true;
}

// Opens the image file into `upload` and measures it: its length, or 0
// when it cannot be sent (said on the error stream).
int32_t open_upload(Upload& upload, const char* path, const char* image) {
    upload.fd = open_image_file(image, path);
    if (upload.fd < 0) {
        std::fprintf(err(), text_cant_open, path);
        return 0;
    }
    upload.path = path;
    upload.image = image;
    if (fstat(upload.fd, &upload.opened) != 0) {
        std::fprintf(err(), text_cant_open, path);
        return 0;
    }
    // A signed 32-bit length would turn negative from 2 GiB on.
    const int64_t size = file_size(upload.fd);
    if (size > INT32_MAX) {
        std::fprintf(err(), text_too_large, path, static_cast<long long>(size));
        return 0;
    }
    const int32_t length = update_file_length(upload.fd);
    if (length <= 0) {
        std::fprintf(err(), text_length, path, static_cast<int>(length));
        return 0;
    }
    return length;
}

}  // namespace

int update_send_file(ViSession vi, const char* path, const char* image,
                     int32_t requested_block_size) {
    // The identifier goes into fixed command buffers; refused before anything
    // is opened or sent, as update_image refuses it.
    if (std::strlen(image) >= update_identifier_capacity) {
        std::fprintf(err(), text_identifier_too_long, std::strlen(image));
        return 1;
    }
    Upload upload;
    const int32_t length = open_upload(upload, path, image);
    if (length <= 0) return 1;
    if (!send_text(vi, cmd_debug) || !send_text(vi, cmd_cls)) return 1;

    int64_t block = 0;
    if (!choose_block(vi, image, requested_block_size, length, &block)) return 1;

    upload.buffer = static_cast<ViByte*>(std::malloc(static_cast<size_t>(block) + 64));
    if (!upload.buffer) {
        std::fputs(text_alloc, err());
        return 1;
    }
    prefault(upload.buffer, static_cast<size_t>(block) + 64);
    update_set_timeout(vi, update_timeout_ms);

    // From here on every path sends the done command exactly once: the one
    // after a whole transfer, or the one update_abort_transfer sends.
    if (!transfer(vi, upload, image, static_cast<int32_t>(block), length)) {
        update_abort_transfer(vi);
        return 1;
    }
    // The instrument keeps the image only on its done command: a done that
    // did not go out is a failed image, whatever went before it.
    ViUInt32 written = 0;
    const ViStatus status =
        viWrite(vi, reinterpret_cast<ViConstBuf>(cmd_done), sizeof cmd_done - 1, &written);
    if (status < VI_SUCCESS || written != sizeof cmd_done - 1) {
        report_failure(vi, status, "viWrite");
        return 1;
    }
    return 0;
}

// QUERY_INFO: file and file-system information about an open handle, all of
// it from the stat record taken at CREATE and a few fixed values.
#include "engine/engine.h"

#include <cstdio>
#include <cstring>

namespace {

enum : uint32_t {
    QI_STRUCTURE_SIZE = 41,
    QI_RESPONSE_SIZE = 9,
    OUTPUT_OFFSET = 72, // right after the 8-byte response body header

    INFO_FILE = 1,
    INFO_FILESYSTEM = 2,
    INFO_SECURITY = 3,
    INFO_QUOTA = 4,

    // File classes.
    FILE_BASIC_INFORMATION = 4,
    FILE_STANDARD_INFORMATION = 5,
    FILE_INTERNAL_INFORMATION = 6,
    FILE_EA_INFORMATION = 7,
    FILE_ALL_INFORMATION = 18,
    FILE_NETWORK_OPEN_INFORMATION = 34,
    // File-system classes.
    FILE_FS_VOLUME_INFORMATION = 1,
    FILE_FS_SIZE_INFORMATION = 3,
    FILE_FS_DEVICE_INFORMATION = 4,
    FILE_FS_ATTRIBUTE_INFORMATION = 5,
    FILE_FS_FULL_SIZE_INFORMATION = 7,

    // FILE_READ_DATA, FILE_READ_EA, FILE_EXECUTE, FILE_READ_ATTRIBUTES,
    // READ_CONTROL, SYNCHRONIZE: what every open of this server may do.
    ACCESS_READ_ONLY = 0x001200A9,
    FILE_DEVICE_DISK = 7,
    FILE_READ_ONLY_DEVICE = 2,
    // Case-sensitive search, case-preserved names, Unicode on disk, named streams.
    FS_ATTRIBUTES = 0x00040007,
    MAX_COMPONENT_NAME = 255,
    SECTOR_BYTES = 512,
    LABEL_CAP = 2 * 80 + 4, // UTF-16LE of an 80-byte share name, with room to spare
};

struct qi_req {
    uint8_t info_type;
    uint8_t cls;
    uint32_t out_cap; // 0: no client limit
    uint32_t flags;
    uint64_t fid;
};

// The fields after StructureSize. 0, or -1 when the body is too short.
int read_request(qv2_reader *rd, qi_req *q) {
    uint16_t type_class = rd_u16(rd);
    q->info_type = uint8_t(type_class & 0xFF);
    q->cls = uint8_t(type_class >> 8);
    q->out_cap = rd_u32(rd);
    rd_skip(rd,
            2 + 2 + 4 + 4); // InputBufferOffset, Reserved, InputBufferLength, AdditionalInformation
    q->flags = rd_u32(rd);
    q->fid = rd_u64(rd);
    rd_skip(rd, 8); // volatile half
    return rd->bad ? -1 : 0;
}

uint32_t attributes(const qv2_open *o) { return attr_word(o->info.kind); }

uint64_t allocation(const qv2_open *o) { return alloc_size(o->info.size); }

// The volume label: the share name as the client connected, in UTF-16LE.
// Share names are mostly ASCII, but a non-ASCII name is converted properly
// rather than byte by byte. *len is its length in bytes.
void volume_label(const qv2_open *o, uint8_t out[LABEL_CAP], int32_t *len) {
    if (qv2_utf8_to_utf16le(o->share_name, out, LABEL_CAP, len) == 0) return;
    // Not valid UTF-8 (not reachable from a TREE_CONNECT): widen each byte.
    int32_t n = 0;
    for (const char *p = o->share_name; *p && n + 2 <= int32_t(LABEL_CAP); p++, n += 2)
        qv2_put_le16(out + n, uint8_t(*p));
    *len = n;
}

// Appends the answer of a file class (the class is one of the table's) and
// gives its minimum OutputBufferLength.
uint32_t file_answer(const qv2_open *o, uint8_t cls, qv2_buf *b) {
    switch (cls) {
    case FILE_BASIC_INFORMATION:
        qi_file_basic(o, b);
        return 40;
    case FILE_STANDARD_INFORMATION:
        qi_file_standard(o, b);
        return 24;
    case FILE_INTERNAL_INFORMATION:
        w64(b, o->info.ino);
        return 8;
    case FILE_EA_INFORMATION:
        w32(b, 0);
        return 4; // EaSize: no extended attributes
    case FILE_ALL_INFORMATION:
        qi_file_basic(o, b);
        qi_file_standard(o, b);
        w64(b, o->info.ino);
        w32(b, 0);                // EaSize
        w32(b, ACCESS_READ_ONLY); // AccessFlags
        w64(b, 0);                // CurrentByteOffset
        w32(b, 0);                // Mode
        w32(b, 0);                // AlignmentRequirement
        w32(b, 0);                // FileNameLength: no name follows
        return 96;
    default: // FILE_NETWORK_OPEN_INFORMATION
        w64(b, qv2_filetime(o->info.crtime));
        w64(b, qv2_filetime(o->info.atime));
        w64(b, qv2_filetime(o->info.mtime));
        w64(b, qv2_filetime(o->info.crtime));
        w64(b, allocation(o));
        w64(b, o->info.size);
        w32(b, attributes(o));
        w32(b, 0);
        return 56;
    }
}

// Same for a file-system class. The share reports no capacity and no free space.
uint32_t fs_answer(const qv2_open *o, uint8_t cls, qv2_buf *b) {
    switch (cls) {
    case FILE_FS_VOLUME_INFORMATION: {
        uint8_t label[LABEL_CAP];
        int32_t label_len = 0;
        volume_label(o, label, &label_len);
        // The serial follows the opened object's path, not only its share.
        uint64_t h = qv2_fnv1a64(o->host, strlen(o->host), QV2_FNV_BASIS);
        w64(b, qv2_filetime(0)); // VolumeCreationTime
        w32(b, uint32_t(h));     // VolumeSerialNumber
        w32(b, uint32_t(label_len));
        qv2_buf_byte(b, 0); // SupportsObjects
        qv2_buf_byte(b, 0); // Reserved
        qv2_buf_put(b, label, uint64_t(label_len));
        return 12 + uint32_t(label_len);
    }
    case FILE_FS_SIZE_INFORMATION:
        w64(b, 0); // TotalAllocationUnits
        w64(b, 0); // AvailableAllocationUnits
        w32(b, 1); // SectorsPerAllocationUnit
        w32(b, SECTOR_BYTES);
        return 24;
    case FILE_FS_DEVICE_INFORMATION:
        w32(b, FILE_DEVICE_DISK);
        w32(b, FILE_READ_ONLY_DEVICE);
        return 8;
    case FILE_FS_ATTRIBUTE_INFORMATION:
        w32(b, FS_ATTRIBUTES);
        w32(b, MAX_COMPONENT_NAME);
        w32(b, 8); // FileSystemNameLength
        qv2_buf_put(b, "N\0T\0F\0S\0", 8);
        return 20;
    default:       // FILE_FS_FULL_SIZE_INFORMATION
        w64(b, 0); // TotalAllocationUnits
        w64(b, 0); // CallerAvailableAllocationUnits
        w64(b, 0); // ActualAvailableAllocationUnits
        w32(b, 1); // SectorsPerAllocationUnit
        w32(b, SECTOR_BYTES);
        return 32;
    }
}

bool file_class_served(uint8_t cls) {
    return cls == FILE_BASIC_INFORMATION || cls == FILE_STANDARD_INFORMATION ||
           cls == FILE_INTERNAL_INFORMATION || cls == FILE_EA_INFORMATION ||
           cls == FILE_ALL_INFORMATION || cls == FILE_NETWORK_OPEN_INFORMATION;
}

bool fs_class_served(uint8_t cls) {
    return cls == FILE_FS_VOLUME_INFORMATION || cls == FILE_FS_SIZE_INFORMATION ||
           cls == FILE_FS_DEVICE_INFORMATION || cls == FILE_FS_ATTRIBUTE_INFORMATION ||
           cls == FILE_FS_FULL_SIZE_INFORMATION;
}

} // namespace

void qi_file_basic(const qv2_open *o, qv2_buf *b) {
    w64(b, qv2_filetime(o->info.crtime));
    w64(b, qv2_filetime(o->info.atime));
    w64(b, qv2_filetime(o->info.mtime));
    w64(b, qv2_filetime(o->info.crtime)); // ChangeTime: no separate change time is kept
    w32(b, attributes(o));
    w32(b, 0); // Reserved
}

void qi_file_standard(const qv2_open *o, qv2_buf *b) {
    bool dir = o->info.kind == QV2_FS_DIR;
    w64(b, allocation(o));
    w64(b, o->info.size);
    w32(b, dir ? 0 : 1);  // NumberOfLinks
    qv2_buf_byte(b, 0);   // DeletePending
    qv2_buf_byte(b, dir); // Directory
    w16(b, 0);            // Reserved
}

// Answers six file classes (on any open, the pipe included) and five
// file-system classes (not on the pipe). Refuses a malformed request
// (INVALID_PARAMETER), an unknown FileId (INVALID_HANDLE), security and quota
// information (NOT_SUPPORTED), any other type or class (INVALID_INFO_CLASS)
// and an OutputBufferLength below the class's minimum (INFO_LENGTH_MISMATCH).
// An answer longer than OutputBufferLength is cut to it and flagged with
// STATUS_BUFFER_OVERFLOW.
void cmd_query_info(qv2_conn *c, qv2_reader *rd, qv2_reply *r) {
    qi_req q{};
    if (rd_u16(rd) != QI_STRUCTURE_SIZE || read_request(rd, &q) != 0) {
        err_reply(c, r, SMB2_QUERY_INFO, STATUS_INVALID_PARAMETER);
        return;
    }
    if (c->trace)
        fprintf(stderr, "[qi] type=%u class=%u obuf=%u flags=%llx\n", unsigned(q.info_type),
                unsigned(q.cls), q.out_cap, (unsigned long long)q.flags);
    qv2_open *o = open_find(c, q.fid);
    if (!o) {
        err_reply(c, r, SMB2_QUERY_INFO, STATUS_INVALID_HANDLE);
        return;
    }
    if (q.info_type == INFO_SECURITY || q.info_type == INFO_QUOTA) {
        err_reply(c, r, SMB2_QUERY_INFO, STATUS_NOT_SUPPORTED);
        return;
    }
    bool served = (q.info_type == INFO_FILE && file_class_served(q.cls)) ||
                  (q.info_type == INFO_FILESYSTEM && !o->is_pipe && fs_class_served(q.cls));
    if (!served) {
        err_reply(c, r, SMB2_QUERY_INFO, STATUS_INVALID_INFO_CLASS);
        return;
    }

    // The answer is built in the reply, after the body header, and cut there.
    uint64_t body_at = r->buf.len;
    w16(&r->buf, QI_RESPONSE_SIZE);
    w16(&r->buf, OUTPUT_OFFSET);
    w32(&r->buf, 0); // OutputBufferLength, set below
    uint64_t answer_at = r->buf.len;
    uint32_t minimum =
        q.info_type == INFO_FILE ? file_answer(o, q.cls, &r->buf) : fs_answer(o, q.cls, &r->buf);
    if (r->buf.failed) return; // the session loop drops the reply and the connection
    uint64_t answer_len = r->buf.len - answer_at;
    if (q.out_cap != 0 && q.out_cap < minimum) {
        err_reply(c, r, SMB2_QUERY_INFO, STATUS_INFO_LENGTH_MISMATCH);
        return;
    }
    if (q.out_cap != 0 && q.out_cap < answer_len) {
        answer_len = q.out_cap;
        r->buf.len = answer_at + answer_len;
        r->buf.data[r->buf.len] = 0;
        rep_set_status(r, STATUS_BUFFER_OVERFLOW);
    }
    qv2_put_le32(r->buf.data + body_at + 4, uint32_t(answer_len));
}

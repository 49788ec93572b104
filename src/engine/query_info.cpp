// QUERY_INFO: file and file-system information about an open handle, all of
// it from the stat record taken at CREATE and a few fixed values.
#include "engine/engine.h"
#include "foundation/qv2_trace.h"

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
    FILE_NAME_INFORMATION = 9,
    FILE_POSITION_INFORMATION = 14,
    FILE_MODE_INFORMATION = 16,
    FILE_ALIGNMENT_INFORMATION = 17,
    FILE_ALL_INFORMATION = 18,
    FILE_ALTERNATE_NAME_INFORMATION = 21,
    FILE_STREAM_INFORMATION = 22,
    FILE_NETWORK_OPEN_INFORMATION = 34,
    FILE_ATTRIBUTE_TAG_INFORMATION = 35,
    FILE_NORMALIZED_NAME_INFORMATION = 48,
    // File-system classes.
    FILE_FS_VOLUME_INFORMATION = 1,
    FILE_FS_SIZE_INFORMATION = 3,
    FILE_FS_DEVICE_INFORMATION = 4,
    FILE_FS_ATTRIBUTE_INFORMATION = 5,
    FILE_FS_CONTROL_INFORMATION = 6,
    FILE_FS_FULL_SIZE_INFORMATION = 7,
    FILE_FS_OBJECT_ID_INFORMATION = 8,
    FILE_FS_SECTOR_SIZE_INFORMATION = 11,

    // FILE_READ_DATA, FILE_READ_EA, FILE_EXECUTE, FILE_READ_ATTRIBUTES,
    // READ_CONTROL, SYNCHRONIZE: what every open of this server may do.
    ACCESS_READ_ONLY = 0x001200A9,
    FILE_DEVICE_DISK = 7,
    FILE_READ_ONLY_DEVICE = 2,
    // Case-preserved names, Unicode on disk, named streams (each file has its
    // ::$DATA), read-only volume. Not case-sensitive search: names and
    // patterns match ignoring case.
    FS_ATTRIBUTES = 0x000C0006,
    MAX_COMPONENT_NAME = 255,
    SECTOR_BYTES = 512,
    SECTOR_ALIGNED = 0x3, // SSINFO_FLAGS_ALIGNED_DEVICE | SSINFO_FLAGS_PARTITION_ALIGNED_ON_DEVICE
    LABEL_CAP = 2 * 80 + 4, // UTF-16LE of an 80-byte share name, with room to spare
    // UTF-16LE of a backslash and a share-relative path.
    NAME16_CAP = 2 + 2 * QV2_REL_PATH_CAP,
};

// What a class's answer needs of OutputBufferLength, and how it may be cut.
struct shape {
    uint32_t minimum; // below it: INFO_LENGTH_MISMATCH
    bool has_name;    // a name ends the answer: cut only between UTF-16 units
    uint32_t status;  // not 0: the class has no answer for this open
};

struct qi_req {
    uint8_t info_type;
    uint8_t cls;
    uint32_t out_cap; // OutputBufferLength, taken literally: 0 holds nothing
    uint32_t additional;
    uint32_t flags;
    uint64_t fid;
};

// The fields after StructureSize. 0, or -1 when the body is too short.
int read_request(qv2_reader *rd, qi_req *q) {
    uint16_t type_class = rd_u16(rd);
    q->info_type = uint8_t(type_class & 0xFF);
    q->cls = uint8_t(type_class >> 8);
    q->out_cap = rd_u32(rd);
    rd_skip(rd, 2 + 2 + 4); // InputBufferOffset, Reserved, InputBufferLength
    q->additional = rd_u32(rd);
    q->flags = rd_u32(rd);
    q->fid = rd_u64(rd);
    rd_skip(rd, 8); // volatile half
    return rd->bad ? -1 : 0;
}

uint32_t attributes(const qv2_open *o) { return attr_word(o->info.kind); }

// The open's name as Windows servers give it: the share-relative path with
// a leading backslash ("\\" for the root), in UTF-16LE. Its byte length.
uint32_t open_name16(const qv2_open *o, uint8_t out[NAME16_CAP]) {
    char text[1 + QV2_REL_PATH_CAP];
    text[0] = '\\';
    size_t n = 1;
    for (const char *p = o->name; *p && n + 1 < sizeof text; p++)
        text[n++] = *p == '/' ? '\\' : *p;
    text[n] = 0;
    int32_t len = 0;
    if (qv2_utf8_to_utf16le(text, out, NAME16_CAP, &len) != 0) return 0;
    return uint32_t(len);
}

// FILE_NAME_INFORMATION: FileNameLength, then the name.
void put_name_information(qv2_buf *b, const uint8_t *name16, uint32_t len) {
    w32(b, len);
    qv2_buf_put(b, name16, len);
}

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

// Appends the answer of a file class (the class is one of the table's).
shape file_answer(const qv2_open *o, uint8_t cls, qv2_buf *b) {
    switch (cls) {
    case FILE_BASIC_INFORMATION:
        qi_file_basic(o, b);
        return {40, false, 0};
    case FILE_STANDARD_INFORMATION:
        qi_file_standard(o, b);
        return {24, false, 0};
    case FILE_INTERNAL_INFORMATION:
        w64(b, o->info.ino);
        return {8, false, 0};
    case FILE_EA_INFORMATION:
        w32(b, 0); // EaSize: no extended attributes
        return {4, false, 0};
    case FILE_NAME_INFORMATION: {
        uint8_t name16[NAME16_CAP];
        put_name_information(b, name16, open_name16(o, name16));
        return {8, true, 0};
    }
    case FILE_NORMALIZED_NAME_INFORMATION: {
        // The same name without its leading backslash: relative to the
        // share, the root's empty (MS-FSCC 2.4.27.1).
        uint8_t name16[NAME16_CAP];
        uint32_t n = open_name16(o, name16);
        put_name_information(b, name16 + 2, n >= 2 ? n - 2 : 0);
        return {8, true, 0};
    }
    case FILE_POSITION_INFORMATION:
        w64(b, 0); // CurrentByteOffset: no open here keeps a position
        return {8, false, 0};
    case FILE_MODE_INFORMATION:
        w32(b, 0); // Mode
        return {4, false, 0};
    case FILE_ALIGNMENT_INFORMATION:
        w32(b, 0); // AlignmentRequirement: FILE_BYTE_ALIGNMENT
        return {4, false, 0};
    case FILE_ALL_INFORMATION: {
        qi_file_basic(o, b);
        qi_file_standard(o, b);
        w64(b, o->info.ino);
        w32(b, 0);                // EaSize
        w32(b, ACCESS_READ_ONLY); // AccessFlags
        w64(b, 0);                // CurrentByteOffset
        w32(b, 0);                // Mode
        w32(b, 0);                // AlignmentRequirement
        uint8_t name16[NAME16_CAP];
        put_name_information(b, name16, open_name16(o, name16));
        return {104, true, 0}; // the fixed part and one name unit, 8-byte aligned
    }
    case FILE_ALTERNATE_NAME_INFORMATION: {
        // The 8.3 name listings give the last component, if it has one.
        const char *slash = strrchr(o->name, '/');
        const char *leaf = slash ? slash + 1 : o->name;
        uint8_t short16[QV2_SHORT_NAME_CAP];
        int32_t len = qv2_short_name(leaf, short16);
        if (len == 0) return {8, true, STATUS_OBJECT_NAME_NOT_FOUND};
        put_name_information(b, short16, uint32_t(len));
        return {8, true, 0};
    }
    case FILE_STREAM_INFORMATION:
        // A folder has no data stream; a file has its unnamed one only.
        if (!o->is_dir) {
            w32(b, 0);  // NextEntryOffset
            w32(b, 14); // StreamNameLength
            w64(b, o->info.size);
            w64(b, allocation(o));
            qv2_buf_put(b, ":\0:\0$\0D\0A\0T\0A\0", 14);
        }
        return {24, false, 0};
    case FILE_ATTRIBUTE_TAG_INFORMATION:
        w32(b, attributes(o));
        w32(b, 0); // ReparseTag: links are followed, never shown
        return {8, false, 0};
    default: // FILE_NETWORK_OPEN_INFORMATION
        w64(b, qv2_filetime(o->info.crtime));
        w64(b, qv2_filetime(o->info.atime));
        w64(b, qv2_filetime(o->info.mtime));
        w64(b, qv2_filetime(o->info.crtime));
        w64(b, allocation(o));
        w64(b, o->info.size);
        w32(b, attributes(o));
        w32(b, 0);
        return {56, false, 0};
    }
}

// Same for a file-system class. The share reports no capacity and no free space.
shape fs_answer(const qv2_open *o, uint8_t cls, qv2_buf *b) {
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
        // The structure's size with its first label unit, aligned as Windows
        // declares it: 24. A longer label that doesn't fit is cut.
        return {24, true, 0};
    }
    case FILE_FS_SIZE_INFORMATION:
        w64(b, 0); // TotalAllocationUnits
        w64(b, 0); // AvailableAllocationUnits
        w32(b, 1); // SectorsPerAllocationUnit
        w32(b, SECTOR_BYTES);
        return {24, false, 0};
    case FILE_FS_DEVICE_INFORMATION:
        w32(b, FILE_DEVICE_DISK);
        w32(b, FILE_READ_ONLY_DEVICE);
        return {8, false, 0};
    case FILE_FS_ATTRIBUTE_INFORMATION:
        w32(b, FS_ATTRIBUTES);
        w32(b, MAX_COMPONENT_NAME);
        w32(b, 8); // FileSystemNameLength
        qv2_buf_put(b, "N\0T\0F\0S\0", 8);
        return {16, true, 0}; // as for the volume label: the structure's aligned size
    case FILE_FS_CONTROL_INFORMATION:
        // No quotas and no content indexing: the filtering values 0, no
        // default quota threshold or limit (-1), FILE_VC_QUOTA_NONE.
        w64(b, 0);
        w64(b, 0);
        w64(b, 0);
        w64(b, ~uint64_t(0)); // DefaultQuotaThreshold
        w64(b, ~uint64_t(0)); // DefaultQuotaLimit
        w32(b, 0);            // FileSystemControlFlags
        w32(b, 0);            // Padding
        return {48, false, 0};
    case FILE_FS_OBJECT_ID_INFORMATION: {
        // A stable identifier of the share: two hashes of its host path.
        uint64_t h1 = qv2_fnv1a64(o->share.path, strlen(o->share.path), QV2_FNV_BASIS);
        uint64_t h2 = qv2_fnv1a64(o->share.path, strlen(o->share.path), h1);
        w64(b, h1);
        w64(b, h2);
        uint8_t extended[48] = {};
        qv2_buf_put(b, extended, sizeof extended);
        return {64, false, 0};
    }
    case FILE_FS_SECTOR_SIZE_INFORMATION:
        for (int i = 0; i < 4; i++)
            w32(b, SECTOR_BYTES); // logical and the three physical sizes
        w32(b, SECTOR_ALIGNED);
        w32(b, 0); // ByteOffsetForSectorAlignment
        w32(b, 0); // ByteOffsetForPartitionAlignment
        return {28, false, 0};
    default:       // FILE_FS_FULL_SIZE_INFORMATION
        w64(b, 0); // TotalAllocationUnits
        w64(b, 0); // CallerAvailableAllocationUnits
        w64(b, 0); // ActualAvailableAllocationUnits
        w32(b, 1); // SectorsPerAllocationUnit
        w32(b, SECTOR_BYTES);
        return {32, false, 0};
    }
}

bool file_class_served(uint8_t cls) {
    switch (cls) {
    case FILE_BASIC_INFORMATION:
    case FILE_STANDARD_INFORMATION:
    case FILE_INTERNAL_INFORMATION:
    case FILE_EA_INFORMATION:
    case FILE_NAME_INFORMATION:
    case FILE_NORMALIZED_NAME_INFORMATION:
    case FILE_POSITION_INFORMATION:
    case FILE_MODE_INFORMATION:
    case FILE_ALIGNMENT_INFORMATION:
    case FILE_ALL_INFORMATION:
    case FILE_ALTERNATE_NAME_INFORMATION:
    case FILE_STREAM_INFORMATION:
    case FILE_NETWORK_OPEN_INFORMATION:
    case FILE_ATTRIBUTE_TAG_INFORMATION:
        return true;
    default:
        return false;
    }
}

bool fs_class_served(uint8_t cls) {
    switch (cls) {
    case FILE_FS_VOLUME_INFORMATION:
    case FILE_FS_SIZE_INFORMATION:
    case FILE_FS_DEVICE_INFORMATION:
    case FILE_FS_ATTRIBUTE_INFORMATION:
    case FILE_FS_CONTROL_INFORMATION:
    case FILE_FS_FULL_SIZE_INFORMATION:
    case FILE_FS_OBJECT_ID_INFORMATION:
    case FILE_FS_SECTOR_SIZE_INFORMATION:
        return true;
    default:
        return false;
    }
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

// Answers thirteen file classes (on any open, the pipe included), eight
// file-system classes (not on the pipe) and the security descriptor.
// Refuses a malformed request (INVALID_PARAMETER), an unknown FileId
// (FILE_CLOSED), quota information and the normalized name (NOT_SUPPORTED),
// any other type or class (INVALID_INFO_CLASS), an OutputBufferLength below
// the class's minimum, 0 included (INFO_LENGTH_MISMATCH), and a short name
// the open's name doesn't
// have (OBJECT_NAME_NOT_FOUND). An answer longer than OutputBufferLength is
// cut to it (names only between UTF-16 units) and flagged with
// STATUS_BUFFER_OVERFLOW.
void cmd_query_info(qv2_conn *c, qv2_reader *rd, qv2_reply *r) {
    qi_req q{};
    if (rd_u16(rd) != QI_STRUCTURE_SIZE || read_request(rd, &q) != 0) {
        err_reply(c, r, SMB2_QUERY_INFO, STATUS_INVALID_PARAMETER);
        return;
    }
    qv2_trace(c->conn_id, "qi", "type=%u class=%u obuf=%u flags=%llx\n", unsigned(q.info_type),
                unsigned(q.cls), q.out_cap, (unsigned long long)q.flags);
    qv2_open *o = open_find(c, q.fid);
    if (!o) {
        err_reply(c, r, SMB2_QUERY_INFO, STATUS_FILE_CLOSED);
        return;
    }
    if (q.info_type == INFO_SECURITY) {
        query_security(c, r, o, q.additional, q.out_cap);
        return;
    }
    if (q.info_type == INFO_FILE && q.cls == FILE_NORMALIZED_NAME_INFORMATION &&
        c->dialect < 0x0311) {
        // A 3.1.1 request only (MS-SMB2 3.3.5.20.1).
        err_reply(c, r, SMB2_QUERY_INFO, STATUS_NOT_SUPPORTED);
        return;
    }
    if (q.info_type == INFO_QUOTA) {
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
    uint64_t body_at = qi_answer_begin(r);
    uint64_t answer_at = r->buf.len;
    shape sh =
        q.info_type == INFO_FILE ? file_answer(o, q.cls, &r->buf) : fs_answer(o, q.cls, &r->buf);
    if (r->buf.failed) return; // the session loop drops the reply and the connection
    uint64_t answer_len = r->buf.len - answer_at;
    if (q.out_cap < sh.minimum) {
        err_reply(c, r, SMB2_QUERY_INFO, STATUS_INFO_LENGTH_MISMATCH);
        return;
    }
    if (sh.status != 0) {
        err_reply(c, r, SMB2_QUERY_INFO, sh.status);
        return;
    }
    if (q.out_cap < answer_len) {
        // Every name starts at an even offset, so an even cut ends between units.
        answer_len = sh.has_name ? q.out_cap & ~1u : q.out_cap;
        r->buf.len = answer_at + answer_len;
        r->buf.data[r->buf.len] = 0;
        rep_set_status(r, STATUS_BUFFER_OVERFLOW);
    }
    qv2_put_le32(r->buf.data + body_at + 4, uint32_t(answer_len));
}

uint64_t qi_answer_begin(qv2_reply *r) {
    uint64_t body_at = r->buf.len;
    w16(&r->buf, QI_RESPONSE_SIZE);
    w16(&r->buf, OUTPUT_OFFSET);
    w32(&r->buf, 0); // OutputBufferLength, set once the answer is known
    return body_at;
}

#include "payload/SevenZipFolderDecoder.h"

extern "C" {
#include "7zCrc.h"
#include "Bra.h"
#include "CpuArch.h"
}

namespace stub {

using namespace platform;

namespace {

// Method identifiers of the 7z format.
constexpr UInt32 kCopy = 0;
constexpr UInt32 kLzma2 = 0x21;
constexpr UInt32 kLzma = 0x30101;
constexpr UInt32 kBcj2 = 0x303011B;
constexpr UInt32 kDelta = 3;
constexpr UInt32 kArm64 = 0xA;
constexpr UInt32 kRiscV = 0xB;
constexpr UInt32 kX86 = 0x3030103;
constexpr UInt32 kPpc = 0x3030205;
constexpr UInt32 kIa64 = 0x3030401;
constexpr UInt32 kArm = 0x3030501;
constexpr UInt32 kArmThumb = 0x3030701;
constexpr UInt32 kSparc = 0x3030805;

// For BCJ2: the packed stream each of the coders 0, 1, 2 reads, and the one BCJ2 itself reads.
constexpr UInt32 kBcj2CoderPackStream[3] = {3, 2, 0};
constexpr UInt32 kBcj2RangePackStream = 1;

bool IsMainMethod(UInt32 method) { return method == kCopy || method == kLzma || method == kLzma2; }

bool IsMainCoder(const CSzCoderInfo& coder) { return coder.NumStreams == 1 && IsMainMethod(coder.MethodID); }

bool IsFilterMethod(UInt32 method) {
    switch (method) {
        case kDelta: case kX86: case kPpc: case kIa64: case kSparc: case kArm: case kArmThumb:
        case kArm64: case kRiscV:
            return true;
        default:
            return false;
    }
}

// The folder shapes the decoder takes, as the SDK's whole-folder decoder takes them.
SRes CheckShape(const CSzFolder& f, FolderShape* shape) {
    if (f.NumCoders < 1 || f.NumCoders > 4 || !IsMainCoder(f.Coders[0])) return SZ_ERROR_UNSUPPORTED;
    if (f.NumCoders == 1) {
        if (f.NumPackStreams != 1 || f.PackStreams[0] != 0 || f.NumBonds != 0) return SZ_ERROR_UNSUPPORTED;
        *shape = FolderShape::Single;
        return SZ_OK;
    }
    if (f.NumCoders == 2) {
        const CSzCoderInfo& c = f.Coders[1];
        if (c.NumStreams != 1 || f.NumPackStreams != 1 || f.PackStreams[0] != 0 || f.NumBonds != 1 ||
            f.Bonds[0].InIndex != 1 || f.Bonds[0].OutIndex != 0 || !IsFilterMethod(c.MethodID))
            return SZ_ERROR_UNSUPPORTED;
        *shape = FolderShape::Filtered;
        return SZ_OK;
    }
    if (f.NumCoders == 4) {
        if (!IsMainCoder(f.Coders[1]) || !IsMainCoder(f.Coders[2]) || f.Coders[3].MethodID != kBcj2 ||
            f.Coders[3].NumStreams != 4)
            return SZ_ERROR_UNSUPPORTED;
        if (f.NumPackStreams != 4 || f.PackStreams[0] != 2 || f.PackStreams[1] != 6 || f.PackStreams[2] != 1 ||
            f.PackStreams[3] != 0 || f.NumBonds != 3 || f.Bonds[0].InIndex != 5 || f.Bonds[0].OutIndex != 0 ||
            f.Bonds[1].InIndex != 4 || f.Bonds[1].OutIndex != 1 || f.Bonds[2].InIndex != 3 ||
            f.Bonds[2].OutIndex != 2)
            return SZ_ERROR_UNSUPPORTED;
        *shape = FolderShape::Bcj2;
        return SZ_OK;
    }
    return SZ_ERROR_UNSUPPORTED;
}

// The folder's coder record, parsed and checked as the whole-folder decoder does.
SRes ReadFolder(const CSzArEx& db, UInt32 folderIndex, CSzFolder* folder, const Byte** props) {
    const CSzAr& ar = db.db;
    if (folderIndex >= ar.NumFolders) return SZ_ERROR_FAIL;
    const Byte* data = ar.CodersData + ar.FoCodersOffsets[folderIndex];
    CSzData sd;
    sd.Data = data;
    sd.Size = ar.FoCodersOffsets[folderIndex + 1] - ar.FoCodersOffsets[folderIndex];
    const SRes res = SzGetNextFolderItem(folder, &sd);
    if (res != SZ_OK) return res;
    if (sd.Size != 0 || folder->UnpackStream != ar.FoToMainUnpackSizeIndex[folderIndex]) return SZ_ERROR_FAIL;
    *props = data;
    return SZ_OK;
}

// ---- One main coder ---------------------------------------------------------------------------

struct UnitPlan {
    UInt32 method;
    const Byte* props;
    unsigned propsSize;
    u64 packStart;
    u64 packSize;
    u64 unpackSize;
};

// The dictionary of an LZMA or LZMA2 coder, 0 for Copy or properties the decoder refuses.
SRes DictionarySize(const UnitPlan& plan, UInt32* dictionary) {
    *dictionary = 0;
    if (plan.method == kLzma) {
        CLzmaProps props;
        const SRes res = LzmaProps_Decode(&props, plan.props, plan.propsSize);
        if (res != SZ_OK) return res;
        *dictionary = props.dicSize;
    } else if (plan.method == kLzma2) {
        if (plan.propsSize != 1) return SZ_ERROR_DATA;
        const unsigned prop = plan.props[0];
        if (prop > 40) return SZ_ERROR_UNSUPPORTED;
        *dictionary = prop == 40 ? 0xFFFFFFFFu : ((UInt32)2 | (prop & 1)) << (prop / 2 + 11);
    } else if (plan.packSize != plan.unpackSize) {
        return SZ_ERROR_DATA;  // Copy: the packed stream is the output
    }
    return SZ_OK;
}

// The window: the dictionary, or the whole output when that is smaller (never empty).
u64 WindowSize(UInt32 dictionary, u64 unpackSize) {
    if (dictionary == 0) return 0;
    u64 size = dictionary < unpackSize ? dictionary : unpackSize;
    return size == 0 ? 1 : size;
}

void UnitFree(CoderUnit& unit, ISzAllocPtr alloc) {
    if (unit.method == kLzma) LzmaDec_FreeProbs(&unit.lzma, alloc);
    if (unit.method == kLzma2) Lzma2Dec_FreeProbs(&unit.lzma2, alloc);
    ISzAlloc_Free(alloc, unit.window);
    unit.window = nullptr;
    unit.method = kCopy;
}

SRes UnitOpen(CoderUnit& unit, const UnitPlan& plan, Handle file, Byte* buffer, ISzAllocPtr alloc) {
    unit.method = kCopy;
    unit.window = nullptr;
    unit.windowSize = 0;
    unit.unpackSize = plan.unpackSize;
    unit.produced = 0;
    unit.ended = false;
    CursorInit(unit.input, file, buffer, kPackBufferBytes, plan.packStart, plan.packStart + plan.packSize);
    LzmaDec_CONSTRUCT(&unit.lzma)
    Lzma2Dec_CONSTRUCT(&unit.lzma2)

    UInt32 dictionary;
    SRes res = DictionarySize(plan, &dictionary);
    if (res != SZ_OK || plan.method == kCopy) return res;
    const u64 window = WindowSize(dictionary, plan.unpackSize);
    if (window != static_cast<SizeT>(window)) return SZ_ERROR_MEM;

    CLzmaDec* decoder;
    if (plan.method == kLzma) {
        res = LzmaDec_AllocateProbs(&unit.lzma, plan.props, plan.propsSize, alloc);
        decoder = &unit.lzma;
    } else {
        res = Lzma2Dec_AllocateProbs(&unit.lzma2, plan.props[0], alloc);
        decoder = &unit.lzma2.decoder;
    }
    if (res != SZ_OK) return res;
    unit.method = plan.method;
    unit.window = static_cast<Byte*>(ISzAlloc_Alloc(alloc, static_cast<SizeT>(window)));
    if (unit.window == nullptr) {
        UnitFree(unit, alloc);
        return SZ_ERROR_MEM;
    }
    unit.windowSize = static_cast<SizeT>(window);
    decoder->dic = unit.window;
    decoder->dicBufSize = unit.windowSize;
    if (plan.method == kLzma) LzmaDec_Init(&unit.lzma);
    else Lzma2Dec_Init(&unit.lzma2);
    return SZ_OK;
}

// The coder's next output, at most `max` bytes, straight from its window or its read buffer.
// *size 0: the coder has ended (all its output delivered, its end checks passed).
SRes UnitRead(CoderUnit& unit, const Byte** data, SizeT* size, SizeT max) {
    *size = 0;
    if (unit.ended) return SZ_OK;
    const u64 outLeft = unit.unpackSize - unit.produced;

    if (unit.method == kCopy) {
        if (outLeft == 0) {
            unit.ended = true;
            return SZ_OK;
        }
        const u8* in;
        u32 available;
        if (!CursorLook(unit.input, &in, &available)) return SZ_ERROR_READ;
        if (available == 0) return SZ_ERROR_INPUT_EOF;
        SizeT take = available;
        if (take > outLeft) take = static_cast<SizeT>(outLeft);
        if (take > max) take = max;
        CursorSkip(unit.input, static_cast<u32>(take));
        unit.produced += take;
        *data = in;
        *size = take;
        return SZ_OK;
    }

    CLzmaDec* decoder = unit.method == kLzma ? &unit.lzma : &unit.lzma2.decoder;
    for (;;) {
        const u64 left = unit.unpackSize - unit.produced;
        if (decoder->dicPos == decoder->dicBufSize) decoder->dicPos = 0;
        SizeT room = decoder->dicBufSize - decoder->dicPos;
        if (room > left) room = static_cast<SizeT>(left);
        if (room > max) room = max;
        // The stream must end exactly at the coder's size: only then is the end demanded.
        const ELzmaFinishMode finish = room == left ? LZMA_FINISH_END : LZMA_FINISH_ANY;

        const u8* in;
        u32 available;
        if (!CursorLook(unit.input, &in, &available)) return SZ_ERROR_READ;
        SizeT inProcessed = available;
        const SizeT start = decoder->dicPos;
        ELzmaStatus status;
        const SRes res = unit.method == kLzma
            ? LzmaDec_DecodeToDic(&unit.lzma, start + room, in, &inProcessed, finish, &status)
            : Lzma2Dec_DecodeToDic(&unit.lzma2, start + room, in, &inProcessed, finish, &status);
        CursorSkip(unit.input, static_cast<u32>(inProcessed));
        if (res != SZ_OK) return res;
        const SizeT made = decoder->dicPos - start;
        unit.produced += made;
        const bool inputUsedUp = CursorRemaining(unit.input) == 0;
        const bool full = unit.produced == unit.unpackSize;
        if (status == LZMA_STATUS_FINISHED_WITH_MARK) {
            if (!full || !inputUsedUp) return SZ_ERROR_DATA;
            unit.ended = true;
        } else if (unit.method == kLzma && full && inputUsedUp &&
                   status == LZMA_STATUS_MAYBE_FINISHED_WITHOUT_MARK) {
            unit.ended = true;
        } else if (inProcessed == 0 && made == 0) {
            return SZ_ERROR_DATA;  // no progress: the stream is cut short or malformed
        }
        if (made != 0) {
            *data = decoder->dic + start;
            *size = made;
            return SZ_OK;
        }
        if (unit.ended) return SZ_OK;
    }
}

// Reads the coder to its end: it must give nothing more.
SRes UnitFinish(CoderUnit& unit) {
    while (!unit.ended) {
        const Byte* data;
        SizeT size;
        const SRes res = UnitRead(unit, &data, &size, 1);
        if (res != SZ_OK) return res;
        if (size != 0) return SZ_ERROR_DATA;
    }
    return SZ_OK;
}

// ---- Filters ------------------------------------------------------------------------------------

// Converts data[0, size) that starts at `pc`; returns how many bytes were converted (the rest,
// an instruction cut at the end, waits for more data).
SizeT Convert(FolderDecoder& d, Byte* data, SizeT size) {
    Byte* end;
    switch (d.filterMethod) {
        case kDelta: Delta_Decode(d.deltaState, d.delta, data, size); return size;
        case kX86: end = z7_BranchConvSt_X86_Dec(data, size, d.filterPc, &d.x86State); break;
        case kPpc: end = z7_BranchConv_PPC_Dec(data, size, d.filterPc); break;
        case kIa64: end = z7_BranchConv_IA64_Dec(data, size, d.filterPc); break;
        case kSparc: end = z7_BranchConv_SPARC_Dec(data, size, d.filterPc); break;
        case kArm: end = z7_BranchConv_ARM_Dec(data, size, d.filterPc); break;
        case kArmThumb: end = z7_BranchConv_ARMT_Dec(data, size, d.filterPc); break;
        case kArm64: end = z7_BranchConv_ARM64_Dec(data, size, d.filterPc); break;
        default: end = z7_BranchConv_RISCV_Dec(data, size, d.filterPc); break;
    }
    const SizeT done = static_cast<SizeT>(end - data);
    d.filterPc += static_cast<UInt32>(done);
    return done;
}

SRes FilterProps(FolderDecoder& d, const CSzCoderInfo& coder, const Byte* props) {
    d.filterMethod = coder.MethodID;
    d.filterPc = 0;
    d.x86State = Z7_BRANCH_CONV_ST_X86_STATE_INIT_VAL;
    if (coder.MethodID == kDelta) {
        if (coder.PropsSize != 1) return SZ_ERROR_UNSUPPORTED;
        d.delta = static_cast<unsigned>(props[coder.PropsOffset]) + 1;
        Delta_Init(d.deltaState);
        return SZ_OK;
    }
    if (coder.MethodID == kArm64 || coder.MethodID == kRiscV) {
        if (coder.PropsSize == 4) {
            d.filterPc = GetUi32(props + coder.PropsOffset);
            if ((d.filterPc & (coder.MethodID == kArm64 ? 3u : 1u)) != 0) return SZ_ERROR_UNSUPPORTED;
        } else if (coder.PropsSize != 0) {
            return SZ_ERROR_UNSUPPORTED;
        }
        return SZ_OK;
    }
    return coder.PropsSize == 0 ? SZ_OK : SZ_ERROR_UNSUPPORTED;
}

SRes ReadFiltered(FolderDecoder& d, const Byte** data, SizeT* size, SizeT max) {
    if (d.taken == d.converted) {
        // Keep the bytes still waiting for conversion, fill up behind them, convert.
        const SizeT waiting = d.fill - d.converted;
        for (SizeT i = 0; i < waiting; ++i) d.out[i] = d.out[d.converted + i];
        d.fill = waiting;
        d.converted = 0;
        d.taken = 0;
        bool ended = false;
        while (d.fill < kFilterBufferBytes) {
            const Byte* in;
            SizeT got;
            const SRes res = UnitRead(d.units[0], &in, &got, kFilterBufferBytes - d.fill);
            if (res != SZ_OK) return res;
            if (got == 0) {
                ended = true;
                break;
            }
            for (SizeT i = 0; i < got; ++i) d.out[d.fill + i] = in[i];
            d.fill += got;
        }
        d.converted = Convert(d, d.out, d.fill);
        // At the end of the stream a cut instruction stays as it is.
        if (ended) d.converted = d.fill;
    }
    SizeT take = d.converted - d.taken;
    if (take > max) take = max;
    *data = d.out + d.taken;
    *size = take;
    d.taken += take;
    return SZ_OK;
}

// ---- BCJ2 ----------------------------------------------------------------------------------

// Refills a call or jump stream in whole 4-byte groups. A stream that ends inside a group is
// corrupt; one that has ended leaves the buffer empty.
SRes RefillAddresses(CoderUnit& unit, AddressBuffer& addresses, const Byte** begin, const Byte** limit) {
    addresses.fill = 0;
    while (addresses.fill < kBcj2AddressBufferBytes) {
        const Byte* in;
        SizeT got;
        const SRes res = UnitRead(unit, &in, &got, kBcj2AddressBufferBytes - addresses.fill);
        if (res != SZ_OK) return res;
        if (got == 0) break;
        for (SizeT i = 0; i < got; ++i) addresses.bytes[addresses.fill + i] = in[i];
        addresses.fill += got;
        if ((addresses.fill & 3) == 0) break;
    }
    if ((addresses.fill & 3) != 0) return SZ_ERROR_DATA;
    *begin = addresses.bytes;
    *limit = addresses.bytes + addresses.fill;
    return SZ_OK;
}

SRes ReadBcj2(FolderDecoder& d, const Byte** data, SizeT* size, SizeT max) {
    CBcj2Dec& p = d.bcj2;
    const u64 left = d.unpackSize - d.delivered;
    SizeT room = kFilterBufferBytes;
    if (room > left) room = static_cast<SizeT>(left);
    if (room > max) room = max;
    p.dest = d.out;
    p.destLim = d.out + room;
    while (p.dest != p.destLim) {
        const SRes res = Bcj2Dec_Decode(&p);
        if (res != SZ_OK) return res;
        if (p.dest == p.destLim) break;
        // The converter stopped for more of one input stream, having used up what it held.
        const unsigned need = p.state;
        if (need >= BCJ2_NUM_STREAMS) return SZ_ERROR_DATA;
        if (p.bufs[need] != p.lims[need]) return SZ_ERROR_DATA;  // it asks for more while it holds some
        SRes refill = SZ_OK;
        if (need == BCJ2_STREAM_MAIN) {
            const Byte* in;
            SizeT got;
            refill = UnitRead(d.units[2], &in, &got, kFilterBufferBytes);
            if (refill == SZ_OK && got == 0) return SZ_ERROR_DATA;  // the main stream is used up early
            p.bufs[BCJ2_STREAM_MAIN] = in;
            p.lims[BCJ2_STREAM_MAIN] = in + got;
        } else if (need == BCJ2_STREAM_RC) {
            // The range coder's bytes are read straight from the cursor's buffer, consumed at once:
            // the buffer is refilled only when the converter asks again, having used them all.
            const u8* in;
            u32 available;
            if (!CursorLook(d.rc, &in, &available)) return SZ_ERROR_READ;
            if (available == 0) return SZ_ERROR_DATA;
            CursorSkip(d.rc, available);
            p.bufs[BCJ2_STREAM_RC] = in;
            p.lims[BCJ2_STREAM_RC] = in + available;
        } else {
            CoderUnit& unit = d.units[need == BCJ2_STREAM_CALL ? 1 : 0];
            AddressBuffer& addresses = need == BCJ2_STREAM_CALL ? d.call : d.jump;
            refill = RefillAddresses(unit, addresses, &p.bufs[need], &p.lims[need]);
            if (refill == SZ_OK && p.bufs[need] == p.lims[need]) return SZ_ERROR_DATA;
        }
        if (refill != SZ_OK) return refill;
    }
    *data = d.out;
    *size = static_cast<SizeT>(p.dest - d.out);
    return SZ_OK;
}

}  // namespace

// ---- The folder ---------------------------------------------------------------------------------

namespace {

// What opening the folder would allocate, and its units' plans.
struct FolderPlan {
    CSzFolder folder;
    const Byte* props;
    FolderShape shape;
    u32 unitCount;
    UnitPlan units[3];
    u64 unpackSize;
    SizeT blockSize;
    u64 rangeStart;
    u64 rangeSize;
};

SRes PlanFolder(const CSzArEx& db, UInt32 folderIndex, FolderPlan& plan) {
    SRes res = ReadFolder(db, folderIndex, &plan.folder, &plan.props);
    if (res != SZ_OK) return res;
    res = CheckShape(plan.folder, &plan.shape);
    if (res != SZ_OK) return res;
    const CSzAr& ar = db.db;
    const UInt64* packPositions = ar.PackPositions + ar.FoStartPackStreamIndex[folderIndex];
    const UInt64* unpackSizes = ar.CoderUnpackSizes + ar.FoToCoderUnpackSizes[folderIndex];
    plan.unpackSize = SzAr_GetFolderUnpackSize(&ar, folderIndex);

    const CSzFolder& f = plan.folder;
    plan.unitCount = plan.shape == FolderShape::Bcj2 ? 3 : 1;
    for (u32 ci = 0; ci < plan.unitCount; ++ci) {
        UnitPlan& unit = plan.units[ci];
        const CSzCoderInfo& coder = f.Coders[ci];
        const UInt32 packIndex = plan.shape == FolderShape::Bcj2 ? kBcj2CoderPackStream[ci] : 0;
        unit.method = coder.MethodID;
        unit.props = plan.props + coder.PropsOffset;
        unit.propsSize = coder.PropsSize;
        unit.packStart = db.dataPos + packPositions[packIndex];
        unit.packSize = packPositions[packIndex + 1] - packPositions[packIndex];
        // A lone coder, or one behind a filter, makes the folder's whole output.
        unit.unpackSize = plan.shape == FolderShape::Bcj2 ? unpackSizes[ci] : plan.unpackSize;
    }
    plan.blockSize = kPackBufferBytes;
    if (plan.shape == FolderShape::Filtered) plan.blockSize += kFilterBufferBytes;
    if (plan.shape == FolderShape::Bcj2) {
        // The call and jump streams come in 4-byte groups and, with the main stream, make the output.
        const u64 main = plan.units[2].unpackSize, call = plan.units[1].unpackSize, jump = plan.units[0].unpackSize;
        if (main > plan.unpackSize) return SZ_ERROR_PARAM;
        if ((call & 3) != 0 || (jump & 3) != 0 || main + call + jump != plan.unpackSize) return SZ_ERROR_DATA;
        plan.rangeStart = db.dataPos + packPositions[kBcj2RangePackStream];
        plan.rangeSize = packPositions[kBcj2RangePackStream + 1] - packPositions[kBcj2RangePackStream];
        plan.blockSize = 4 * kPackBufferBytes + kFilterBufferBytes + 2 * kBcj2AddressBufferBytes;
    }
    for (u32 ci = 0; ci < plan.unitCount; ++ci) {
        UInt32 dictionary;
        res = DictionarySize(plan.units[ci], &dictionary);
        if (res != SZ_OK) return res;
    }
    return SZ_OK;
}

}  // namespace

SRes FolderDecoderCheck(const CSzArEx& db, UInt32 folderIndex) {
    FolderPlan plan;
    return PlanFolder(db, folderIndex, plan);
}

u64 FolderDecoderMemory(const CSzArEx& db, UInt32 folderIndex) {
    FolderPlan plan;
    if (PlanFolder(db, folderIndex, plan) != SZ_OK) return 0;
    u64 total = plan.blockSize + kFolderOutputBytes;
    for (u32 ci = 0; ci < plan.unitCount; ++ci) {
        const UnitPlan& unit = plan.units[ci];
        UInt32 dictionary;
        if (DictionarySize(unit, &dictionary) != SZ_OK) return 0;
        total += WindowSize(dictionary, unit.unpackSize);
        if (unit.method == kLzma || unit.method == kLzma2) {
            // The probability model: at most lc + lp = 12 bits of literal context for LZMA, 4 for LZMA2.
            unsigned contextBits = 4;
            if (unit.method == kLzma) {
                CLzmaProps props;
                if (LzmaProps_Decode(&props, unit.props, unit.propsSize) != SZ_OK) return 0;
                contextBits = props.lc + props.lp;
            }
            total += 2 * (1984 + (static_cast<u64>(0x300) << contextBits));
        }
    }
    return total;
}

SRes FolderDecoderOpen(FolderDecoder& d, const CSzArEx& db, UInt32 folderIndex, Handle file, ISzAllocPtr alloc,
                       ExtractionProgress* progress) {
    d.unitCount = 0;
    d.block = nullptr;
    FolderPlan plan;
    SRes res = PlanFolder(db, folderIndex, plan);
    if (res != SZ_OK) return res;
    d.shape = plan.shape;
    d.unpackSize = plan.unpackSize;
    d.delivered = 0;
    d.hasCrc = SzBitWithVals_Check(&db.db.FolderCRCs, folderIndex);
    d.expectedCrc = d.hasCrc ? db.db.FolderCRCs.Vals[folderIndex] : 0;
    d.crc = CRC_INIT_VAL;

    if (d.shape == FolderShape::Filtered) {
        res = FilterProps(d, plan.folder.Coders[1], plan.props);
        if (res != SZ_OK) return res;
    }
    d.block = static_cast<Byte*>(ISzAlloc_Alloc(alloc, plan.blockSize));
    if (d.block == nullptr) return SZ_ERROR_MEM;
    for (u32 ci = 0; ci < plan.unitCount; ++ci) {
        res = UnitOpen(d.units[ci], plan.units[ci], file, d.block + ci * kPackBufferBytes, alloc);
        if (res != SZ_OK) {
            UnitFree(d.units[ci], alloc);
            FolderDecoderFree(d, alloc);
            return res;
        }
        d.unitCount = ci + 1;
        d.units[ci].input.progress = progress;
    }
    d.out = d.block + plan.unitCount * kPackBufferBytes;
    d.fill = 0;
    d.converted = 0;
    d.taken = 0;
    if (d.shape == FolderShape::Bcj2) {
        CursorInit(d.rc, file, d.block + 3 * kPackBufferBytes, kPackBufferBytes, plan.rangeStart,
                   plan.rangeStart + plan.rangeSize);
        d.rc.progress = progress;
        d.out = d.block + 4 * kPackBufferBytes;
        d.call.bytes = d.out + kFilterBufferBytes;
        d.jump.bytes = d.call.bytes + kBcj2AddressBufferBytes;
        d.call.fill = 0;
        d.jump.fill = 0;
        Bcj2Dec_Init(&d.bcj2);
        for (unsigned i = 0; i < BCJ2_NUM_STREAMS; ++i) {
            d.bcj2.bufs[i] = d.out;
            d.bcj2.lims[i] = d.out;
        }
    }
    return SZ_OK;
}

SRes FolderDecoderRead(FolderDecoder& d, const Byte** data, SizeT* size, SizeT max) {
    *size = 0;
    if (d.delivered == d.unpackSize) return SZ_OK;
    SRes res;
    switch (d.shape) {
        case FolderShape::Single: res = UnitRead(d.units[0], data, size, max); break;
        case FolderShape::Filtered: res = ReadFiltered(d, data, size, max); break;
        default: res = ReadBcj2(d, data, size, max); break;
    }
    if (res != SZ_OK) return res;
    if (*size == 0) return SZ_ERROR_DATA;  // the coders ended before the folder's size
    d.delivered += *size;
    if (d.hasCrc) d.crc = CrcUpdate(d.crc, *data, *size);
    return SZ_OK;
}

SRes FolderDecoderFinish(FolderDecoder& d) {
    if (d.delivered != d.unpackSize) return SZ_ERROR_DATA;
    for (u32 ci = 0; ci < d.unitCount; ++ci) {
        const SRes res = UnitFinish(d.units[ci]);
        if (res != SZ_OK) return res;
    }
    if (d.shape == FolderShape::Filtered && d.taken != d.fill) return SZ_ERROR_DATA;
    if (d.shape == FolderShape::Bcj2) {
        const CBcj2Dec& p = d.bcj2;
        for (unsigned i = 0; i < BCJ2_NUM_STREAMS; ++i) {
            if (p.bufs[i] != p.lims[i]) return SZ_ERROR_DATA;
        }
        if (CursorRemaining(d.rc) != 0 || !Bcj2Dec_IsMaybeFinished(&p)) return SZ_ERROR_DATA;
    }
    if (d.hasCrc && CRC_GET_DIGEST(d.crc) != d.expectedCrc) return SZ_ERROR_CRC;
    return SZ_OK;
}

u32 FolderDecoderReadError(const FolderDecoder& d) {
    u32 error = d.shape == FolderShape::Bcj2 ? d.rc.error : 0;
    for (u32 i = 0; i < d.unitCount; ++i) {
        if (d.units[i].input.error != 0) error = d.units[i].input.error;
    }
    return error;
}

void FolderDecoderFree(FolderDecoder& d, ISzAllocPtr alloc) {
    for (u32 ci = 0; ci < d.unitCount; ++ci) UnitFree(d.units[ci], alloc);
    d.unitCount = 0;
    ISzAlloc_Free(alloc, d.block);
    d.block = nullptr;
}

}  // namespace stub

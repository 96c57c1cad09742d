#include "client/ModuleUpload.h"

#include <ace/Malloc_Allocator.h>
#include <ace/Message_Block.h>

#include <algorithm>
#include <new>

namespace rsclient {

namespace {

// Frees nothing: the bytes belong to the caller of lendBytes.
class LentBytes final : public ACE_New_Allocator {
public:
    void free(void*) override { }
};

ACE_Allocator* lentBytes()
{
    static LentBytes* allocator = new LentBytes; // never destroyed: blocks may outlive statics
    return allocator;
}

} // namespace

rpc::BlockPtr lendBytes(std::string_view bytes)
{
    // Flags 0: the data block counts as owning its bytes, so streams share
    // it by reference; its allocator makes the final release a no-op.
    // The last release frees the data block itself through its
    // data_block_allocator, so it comes from that allocator, not from new.
    ACE_Allocator* blocks = ACE_Allocator::instance();
    void* memory = blocks->malloc(sizeof(ACE_Data_Block));
    if (memory == nullptr)
        throw std::bad_alloc();
    auto* data = new (memory) ACE_Data_Block(
        bytes.size(), ACE_Message_Block::MB_DATA, bytes.data(), lentBytes(), nullptr, 0, blocks);
    rpc::BlockPtr block(new ACE_Message_Block(data));
    block->wr_ptr(bytes.size());
    return block;
}

uint64_t pieceCount(uint64_t size, uint64_t pieceBytes)
{
    if (pieceBytes == 0)
        pieceBytes = 1;
    return size == 0 ? 1 : (size - 1) / pieceBytes + 1; // no overflow for a piece size near the maximum
}

int32_t pieceFlag(uint64_t index, uint64_t count)
{
    if (index + 1 >= count)
        return kLastPiece;
    return index == 0 ? kFirstPiece : kMiddlePiece;
}

UploadWindow::UploadWindow(const UploadOptions& options)
    : window_(std::max<size_t>(options.window, 1))
    , maxBytes_(options.maxBytesInFlight)
{
}

bool UploadWindow::mustWaitBefore(int32_t flag, uint64_t bytes) const
{
    if (pieces_.empty())
        return false;
    // The last piece completes the upload: only after every other piece succeeded.
    if (flag == kLastPiece)
        return true;
    // A first piece restarts the upload: pieces of an earlier one go first.
    if (flag == kFirstPiece)
        return true;
    const bool afterFirst = std::any_of(
        pieces_.begin(), pieces_.end(), [](const Piece& piece) { return piece.flag == kFirstPiece; });
    return afterFirst || pieces_.size() >= window_ || bytes_ + bytes > maxBytes_;
}

void UploadWindow::sent(int32_t flag, uint64_t bytes)
{
    pieces_.push_back(Piece { flag, bytes });
    bytes_ += bytes;
}

void UploadWindow::answered()
{
    if (pieces_.empty())
        return;
    bytes_ -= pieces_.front().bytes;
    pieces_.pop_front();
}

} // namespace rsclient

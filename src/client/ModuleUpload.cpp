#include "client/ModuleUpload.h"

#include <ace/Malloc_Base.h>
#include <ace/Message_Block.h>

#include <algorithm>
#include <new>

namespace rsclient {

namespace {

// A data block over the caller's bytes. Flags 0 count it as owning them, so
// streams share it by reference instead of copying; the bytes are still
// never freed here. Its allocator is the ordinary one, because a stream
// that grows past a shared block takes the next block's buffer from the
// shared block's allocator, and that buffer must be freed.
class LentDataBlock final : public ACE_Data_Block {
public:
    LentDataBlock(std::string_view bytes, ACE_Allocator* allocator)
        : ACE_Data_Block(
            bytes.size(), ACE_Message_Block::MB_DATA, bytes.data(), allocator, nullptr, 0, allocator)
    {
    }
    // Runs before the base's destructor, which frees the bytes unless told not to.
    ~LentDataBlock() override { set_flags(ACE_Message_Block::DONT_DELETE); }
};

} // namespace

rpc::BlockPtr lendBytes(std::string_view bytes)
{
    // The last release frees the data block itself through its
    // data_block_allocator, so it comes from that allocator, not from new.
    ACE_Allocator* allocator = ACE_Allocator::instance();
    void* memory = allocator->malloc(sizeof(LentDataBlock));
    if (memory == nullptr)
        throw std::bad_alloc();
    auto* data = new (memory) LentDataBlock(bytes, allocator);
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

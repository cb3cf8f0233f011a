#include "rtp/rtp_receiver.h"

#include <algorithm>
#include <string>
#include <utility>

#include "rtp/udp_client.h"

namespace korvane {

namespace {
constexpr uint64_t kUnitsPerMs = 10000;
// Room reserved up front in the queue thread's working lists; they grow (once) if a burst needs
// more and keep that capacity.
constexpr size_t kInitialBatch = 256;
}  // namespace

CRTPReceiver::CRTPReceiver(IDebugMessage* logger, IClock& clock)
    : CBaseThread(logger), clock_(clock) {
  CAutoLock guard(lock_);
  queue_.reserve(kInitialBatch);
  spare_.reserve(kMaxSpareRecords);
  for (size_t i = 0; i < kPreparedRecords; ++i) {
    spare_.push_back(std::make_unique<RtpRecord>());
    spare_.back()->packet.ReservePayload(kReceiveSize);
  }
}

CRTPReceiver::~CRTPReceiver() { Stop(); }

void CRTPReceiver::SetClient(IRTPClient* client) {
  client_ptr_.store(client, std::memory_order_release);
  client_.Take(client);
}

void CRTPReceiver::SetExpectedSsrc(std::optional<uint32_t> ssrc) {
  CAutoLock guard(lock_);
  expected_ssrc_ = ssrc;
  expected_ssrc_changed_ = true;
}

uint16_t CRTPReceiver::GetPort() const {
  IRTPClient* client = client_ptr_.load(std::memory_order_acquire);
  return client != nullptr ? client->GetPort() : 0;
}

bool CRTPReceiver::Start(uint16_t port, TransportMode transport_mode) {
  if (transport_mode == kRtpOverUdp) SetClient(new CUDPClient(Logger()));

  ResetHandOver();
  bool started = false;
  if (client_) {
    const bool opened = client_->Open(this, port);
    client_->SetReceiveSize(kReceiveSize);
    client_->SetWait(kWaitSeconds, 0);
    if (opened) {
      ClearQueue();
      started = StartThread("RTP Packet Queue (" + std::to_string(client_->GetPort()) + ")");
    }
  }
  if (!started) {
    SignalStop();
    CloseClient();
    ClearQueue();
    StopThread(kStopMs);
  }
  return started;
}

bool CRTPReceiver::StartInterleaved() {
  Stop();
  ClearQueue();
  ResetHandOver();
  if (!StartThread("RTP Packet Queue (interleaved)")) return false;
  interleaved_open_.store(true, std::memory_order_release);
  return true;
}

void CRTPReceiver::Stop() {
  interleaved_open_.store(false, std::memory_order_release);
  SignalStop();
  CloseClient();
  ClearQueue();
  StopThread(kStopMs);
}

void CRTPReceiver::ResetHandOver() {
  transport_.Assume();  // no transport thread runs yet
  reports_read_ends_ = false;
  unsignalled_ = 0;
  unsignalled_end_ = false;
  unsignalled_since_ = 0;
}

void CRTPReceiver::CloseClient() {
  if (!client_) return;
  // Close() joins the transport thread, so no OnData() from it follows; its OnClosed() still
  // counts as coming from the held client.
  client_->Close();
  client_ptr_.store(nullptr, std::memory_order_release);
  client_.Release();
}

void CRTPReceiver::ClearQueue() {
  std::vector<RtpRecordPtr> dropped;
  {
    CAutoLock guard(lock_);
    dropped.swap(queue_);
    // The queue and the queue thread's batch trade places on every take: both keep room for a
    // burst, so that neither grows in steady state.
    queue_.reserve(kInitialBatch);
    queue_head_ = 0;
    queued_bytes_ = 0;
  }
  // Freed outside the lock.
}

size_t CRTPReceiver::QueuedBytes() const {
  CAutoLock guard(lock_);
  return queued_bytes_;
}

size_t CRTPReceiver::QueuedPackets() const {
  CAutoLock guard(lock_);
  return queue_.size() - queue_head_;
}

RtpRecordPtr CRTPReceiver::TakeRecord() {
  {
    CAutoLock guard(lock_);
    if (!spare_.empty()) {
      RtpRecordPtr record = std::move(spare_.back());
      spare_.pop_back();
      return record;
    }
  }
  return std::make_unique<RtpRecord>();
}

void CRTPReceiver::RecycleRecords(std::vector<RtpRecordPtr>* records) {
  if (records->empty()) return;
  {
    CAutoLock guard(lock_);
    for (RtpRecordPtr& record : *records) {
      if (spare_.size() >= kMaxSpareRecords) break;
      spare_.push_back(std::move(record));
    }
  }
  records->clear();  // frees what the pool had no room for, outside the lock
}

void CRTPReceiver::OnData(IRTPClient* client, const SocketAddress& from, const uint8_t* data,
                          size_t length) {
  // A late delivery from a client that was replaced or released.
  if (client == nullptr || client != client_ptr_.load(std::memory_order_acquire)) return;
  if (data == nullptr) return;
  Enqueue(from, false, std::span<const uint8_t>(data, length));
}

void CRTPReceiver::OnRtpFrame(std::span<const uint8_t> frame) {
  if (!interleaved_open_.load(std::memory_order_acquire)) return;
  Enqueue(SocketAddress{}, true, frame);
}

void CRTPReceiver::Enqueue(const SocketAddress& from, bool interleaved,
                           std::span<const uint8_t> data) {
  transport_.Assume();
  RtpRecordPtr record = TakeRecord();
  std::vector<RtpRecordPtr> evicted;  // stays empty (no allocation) unless the queue overflows
  if (!record->packet.Parse(data) || IsStopRequested()) {
    evicted.push_back(std::move(record));
    RecycleRecords(&evicted);
    return;
  }
  record->from = from;
  record->interleaved = interleaved;
  record->charge = sizeof(RtpRecord) + kPerPacketOverhead + record->packet.Payload().size() +
                   record->packet.CsrcList().size() + record->packet.ExtensionData().size();

  const bool picture_end = record->packet.Marker() != 0;
  bool was_empty = false;
  {
    CAutoLock guard(lock_);
    const size_t limit = queue_limit_.load(std::memory_order_relaxed);
    // Oldest first: what is still queued is the furthest from being useful.
    while (queue_head_ < queue_.size() && queued_bytes_ + record->charge > limit) {
      queued_bytes_ -= queue_[queue_head_]->charge;
      evicted.push_back(std::move(queue_[queue_head_]));
      ++queue_head_;
    }
    if (queue_head_ == queue_.size()) {
      queue_.clear();
      queue_head_ = 0;
    } else if (queue_head_ > kCompactAfter && queue_head_ * 2 > queue_.size()) {
      queue_.erase(queue_.begin(), queue_.begin() + static_cast<ptrdiff_t>(queue_head_));
      queue_head_ = 0;
    }
    was_empty = queue_.empty();
    queued_bytes_ += record->charge;
    queue_.push_back(std::move(record));
  }
  if (reports_read_ends_) {
    // Signalled at the end of the read (EndOfRead).
    if (unsignalled_++ == 0) unsignalled_since_ = clock_.Now();
    unsignalled_end_ = unsignalled_end_ || picture_end;
  } else if (was_empty) {
    // The queue thread takes everything queued each time it wakes: one signal per idle period.
    packet_event_.Set();
  }
  if (!evicted.empty()) {
    dropped_.fetch_add(evicted.size(), std::memory_order_relaxed);
    RecycleRecords(&evicted);
  }
}

ReadVerdict CRTPReceiver::OnReadDone(IRTPClient* client) {
  if (client == nullptr || client != client_ptr_.load(std::memory_order_acquire)) {
    return ReadVerdict{};
  }
  return EndOfRead();
}

ReadVerdict CRTPReceiver::EndOfRead() {
  transport_.Assume();
  reports_read_ends_ = true;
  ReadVerdict verdict;
  if (unsignalled_ == 0) return verdict;
  const uint64_t waited_ms = (clock_.Now() - unsignalled_since_) / kUnitsPerMs;
  if (!unsignalled_end_ && waited_ms < kHandOverBoundMs) {
    verdict.hold_ms = kHandOverBoundMs - static_cast<uint32_t>(waited_ms);
    return verdict;
  }
  // A whole picture (and whatever of the next came with it), or packets that waited long
  // enough: all of it goes to the queue thread in one wake.
  verdict.picture_end = unsignalled_end_;
  unsignalled_ = 0;
  unsignalled_end_ = false;
  packet_event_.Set();
  return verdict;
}

void CRTPReceiver::OnWaitTimeout(IRTPClient* client) {
  IRTPReceiverUser* user = user_.load(std::memory_order_acquire);
  if (client != nullptr && client == client_ptr_.load(std::memory_order_acquire) &&
      user != nullptr) {
    user->OnTransportWait();
  }
}

void CRTPReceiver::OnClosed(IRTPClient* client) {
  IRTPReceiverUser* user = user_.load(std::memory_order_acquire);
  if (client != nullptr && client == client_ptr_.load(std::memory_order_acquire) &&
      user != nullptr) {
    user->OnTransportClosed();
  }
}

void CRTPReceiver::DeliverReady(std::vector<RtpRecordPtr>* ready,
                                std::vector<RtpRecordPtr>* spare) {
  IRTPReceiverUser* user = user_.load(std::memory_order_acquire);
  for (RtpRecordPtr& record : *ready) {
    if (user != nullptr) {
      try {
        if (record->interleaved) {
          user->OnPacket(record->packet);
        } else {
          user->OnPacketFrom(record->from, record->packet);
        }
      } catch (...) {
        // Exceptions never leave this thread; the next packet is delivered as usual.
      }
    }
    spare->push_back(std::move(record));
  }
  ready->clear();
}

uint32_t CRTPReceiver::IdleWaitMs() const {
  const std::optional<uint64_t> deadline = sequencer_.Deadline();
  if (!deadline) return kIdleWaitMs;
  const uint64_t now = clock_.Now();
  if (now >= *deadline) return 0;
  // Rounded up: waking a little early would only find the gap not yet due.
  const uint64_t ms = (*deadline - now + kUnitsPerMs - 1) / kUnitsPerMs;
  return static_cast<uint32_t>(std::min<uint64_t>(ms, kIdleWaitMs));
}

void CRTPReceiver::Run() {
  // Wakes once per picture and hands it on at once: no preemption at either wake.
  DeferWakePreemption();
  std::vector<RtpRecordPtr> batch;
  std::vector<RtpRecordPtr> ready;
  std::vector<RtpRecordPtr> spare;
  batch.reserve(kInitialBatch);
  ready.reserve(kInitialBatch);
  spare.reserve(kInitialBatch);
  sequencer_.Reset(&spare);
  {
    CAutoLock guard(lock_);
    sequencer_.SetExpectedSsrc(expected_ssrc_);
    expected_ssrc_changed_ = false;
  }
  RecycleRecords(&spare);

  for (;;) {
    size_t head = 0;
    {
      CAutoLock guard(lock_);
      if (expected_ssrc_changed_) {
        sequencer_.SetExpectedSsrc(expected_ssrc_);
        expected_ssrc_changed_ = false;
      }
      // The whole queue in one go; the producer goes on with the (empty) vector given back.
      batch.swap(queue_);
      head = std::exchange(queue_head_, 0);
      queued_bytes_ = 0;
    }
    if (head == batch.size()) {
      batch.clear();
      const uint32_t wait_ms = IdleWaitMs();
      if (wait_ms > 0) {
        if (clock_.Wait({&StopEvent(), &packet_event_}, wait_ms) == kWaitStopped) break;
      } else if (StopEvent().IsSet()) {
        break;
      }
    } else {
      const uint64_t now = clock_.Now();
      for (size_t i = head; i < batch.size(); ++i) {
        sequencer_.Push(std::move(batch[i]), now, &ready, &spare);
      }
      batch.clear();
    }
    sequencer_.Expire(clock_.Now(), &ready);
    foreign_.store(sequencer_.ForeignDropped(), std::memory_order_relaxed);
    DeliverReady(&ready, &spare);
    RecycleRecords(&spare);
    if (StopEvent().IsSet()) break;
  }
  sequencer_.Reset(&spare);
  RecycleRecords(&spare);
  ClearQueue();
}

}  // namespace korvane

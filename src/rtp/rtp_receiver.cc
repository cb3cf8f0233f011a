#include "rtp/rtp_receiver.h"

#include <string>
#include <utility>

#include "rtp/udp_client.h"

namespace korvane {

namespace {
// Allocator and container bookkeeping per queued packet, beyond the record itself: counted so
// that a flood of tiny packets is bounded too.
constexpr size_t kPerPacketOverhead = 64;
}  // namespace

CRTPReceiver::CRTPReceiver(IDebugMessage* logger) : CBaseThread(logger) {}

CRTPReceiver::~CRTPReceiver() { Stop(); }

void CRTPReceiver::SetClient(IRTPClient* client) {
  client_ptr_.store(client, std::memory_order_release);
  client_.Take(client);
}

uint16_t CRTPReceiver::GetPort() const {
  IRTPClient* client = client_ptr_.load(std::memory_order_acquire);
  return client != nullptr ? client->GetPort() : 0;
}

bool CRTPReceiver::Start(uint16_t port, TransportMode transport_mode) {
  if (transport_mode == kRtpOverUdp) SetClient(new CUDPClient(Logger()));

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

void CRTPReceiver::Stop() {
  SignalStop();
  CloseClient();
  ClearQueue();
  StopThread(kStopMs);
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
  std::deque<std::unique_ptr<QueuedPacket>> dropped;
  {
    CAutoLock guard(lock_);
    dropped.swap(queue_);
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
  return queue_.size();
}

std::unique_ptr<CRTPReceiver::QueuedPacket> CRTPReceiver::TakeRecord() {
  {
    CAutoLock guard(lock_);
    if (!spare_.empty()) {
      std::unique_ptr<QueuedPacket> record = std::move(spare_.back());
      spare_.pop_back();
      return record;
    }
  }
  return std::make_unique<QueuedPacket>();
}

void CRTPReceiver::RecycleRecord(std::unique_ptr<QueuedPacket> record) {
  record->packet.Clear();
  CAutoLock guard(lock_);
  if (spare_.size() < kMaxSpareRecords) spare_.push_back(std::move(record));
}

void CRTPReceiver::OnData(IRTPClient* client, const SocketAddress& from, const uint8_t* data,
                          size_t length) {
  // A late delivery from a client that was replaced or released.
  if (client == nullptr || client != client_ptr_.load(std::memory_order_acquire)) return;

  std::unique_ptr<QueuedPacket> record = TakeRecord();
  record->from = from;
  if (!record->packet.Parse(length, data) || IsStopRequested()) {
    RecycleRecord(std::move(record));
    return;
  }
  record->charge = sizeof(QueuedPacket) + kPerPacketOverhead + record->packet.Payload().size() +
                   record->packet.CsrcList().size() + record->packet.ExtensionData().size();

  // A vector, not a deque: an empty std::deque allocates, and this runs for every packet.
  std::vector<std::unique_ptr<QueuedPacket>> evicted;
  {
    CAutoLock guard(lock_);
    const size_t limit = queue_limit_.load(std::memory_order_relaxed);
    // Oldest first: what is still queued is the furthest from being useful.
    while (!queue_.empty() && queued_bytes_ + record->charge > limit) {
      queued_bytes_ -= queue_.front()->charge;
      evicted.push_back(std::move(queue_.front()));
      queue_.pop_front();
    }
    queued_bytes_ += record->charge;
    queue_.push_back(std::move(record));
  }
  packet_event_.Set();
  if (!evicted.empty()) {
    dropped_.fetch_add(evicted.size(), std::memory_order_relaxed);
    for (auto& old : evicted) RecycleRecord(std::move(old));
  }
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

void CRTPReceiver::Run() {
  uint32_t wait_ms = 0;
  for (;;) {
    if (WaitForEvents({&StopEvent(), &packet_event_}, wait_ms) == kWaitStopped) break;

    std::unique_ptr<QueuedPacket> record;
    bool now_empty = true;
    {
      CAutoLock guard(lock_);
      if (!queue_.empty()) {
        record = std::move(queue_.front());
        queue_.pop_front();
        queued_bytes_ -= record->charge;
        now_empty = queue_.empty();
      }
    }
    if (record) {
      IRTPReceiverUser* user = user_.load(std::memory_order_acquire);
      if (user != nullptr) {
        try {
          user->OnPacketFrom(record->from, record->packet);
        } catch (...) {
          // Exceptions never leave this thread; the next packet is delivered as usual.
        }
      }
      RecycleRecord(std::move(record));
    }
    // One signal may stand for several packets: keep draining without waiting.
    wait_ms = now_empty ? kIdleWaitMs : 0;
  }
  ClearQueue();
}

}  // namespace korvane

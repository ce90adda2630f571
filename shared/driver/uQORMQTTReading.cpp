#include "uQORMQTTReading.h"

#include "uQORMQTTErrors.h"

namespace qor {

void TakePacket(TQORMQTTConnection& AConnection, TBrokerStream& AStream, TQORMQTTConnection::TOutput& AReader,
                uint8_t AHeader, std::string& ABody, bool AMore) {
  // Publications that arrived together are acknowledged together; any
  // other packet first lets the batch go, so that events keep the packets' order.
  if ((AHeader >> 4) != MQTT_PUBLISH) AReader.Flush();
  AReader.Batch(AMore);
  AConnection.Session().Receive(AHeader, ABody, AReader);
  if (!AMore) {
    AReader.Flush();
    // Else the broker's next publication (the answer to a request, say)
    // would wait for the delayed ACK: 40 ms on Linux.
    switch (AReader.TakeAck()) {
      case TQORMQTTConnection::TOutput::TAck::AtOnce: AStream.AcknowledgeAtOnce(); break;
      case TQORMQTTConnection::TOutput::TAck::Soon: AStream.AcknowledgeSoon(); break;
      case TQORMQTTConnection::TOutput::TAck::None: break;
    }
  }
  AConnection.PacketRead();
}

void StreamEnded(TQORMQTTConnection& AConnection, const TLink& ALink) {
  TBrokerLink& link = AConnection.Link();
  // During the handshake the attempt waiting for its CONNACK learns why at
  // once (a TLS alert refusing the client's certificate comes only now).
  if (link.InSession(ALink.Epoch)) {
    // A write that failed ended it: that is the reason, not the broker.
    const std::string aborted = ALink.Stream->AbortReason();
    throw ESocketError(aborted.empty() ? "Connection closed by broker" : aborted);
  }
  link.HandshakeEnded(ALink.Epoch, ALink.Stream->EndReason(), false);
}

bool ReadFailed(TQORMQTTConnection& AConnection, const TLink& ALink, uint8_t AHeader, const std::string& ABody,
                const std::function<void()>& ARetire) {
  TQORMQTTSession& session = AConnection.Session();
  TBrokerLink& link = AConnection.Link();
  // Released under us on purpose (a retry at 3.1.1, say): nothing was lost.
  if (ALink.Stream->Released()) return true;
  TErrorDescription error = DescribeError(std::current_exception());
  // A packet the broker must not send ends the link with MQTT's reason,
  // which the broker is told (at 5.0) and the caller too, so that a faulty
  // broker is not taken for a lost network.
  uint8_t code = mqrcUnspecifiedError;
  try {
    throw;
  } catch (const ETruncatedPacket&) {
    // Only the session knows which field the stream ended in.
    error = {"ESocketError", session.DescribeTruncated(AHeader, ABody)};
  } catch (const EProtocolError& e) {
    code = e.ReasonCode();
  } catch (const EPacketTooLarge&) {
    code = 0x95;
  } catch (const EMalformedPacket&) {
    code = mqrcMalformedPacket;
  } catch (...) {
  }
  const TClientEvents& events = AConnection.Events();
  events.Log("Reader thread error: %s: %s", error.ClassName.c_str(), error.Message.c_str());
  const bool faulty = code != mqrcUnspecifiedError;
  TQORMQTTConnection::TOutput sink(AConnection, ALink.Epoch);
  if (faulty && session.ProtocolLevel() == MQTT_PROTOCOL_LEVEL_50) session.Disconnect(code, {}, sink);
  if (!link.InSession(ALink.Epoch)) {
    // No session yet, so no loss to report and no reconnect: the attempt
    // waiting for its CONNACK fails at once, for this reason.
    ALink.Stream->Release();
    link.HandshakeEnded(ALink.Epoch, error.Message, true);
    return true;
  }
  ARetire();
  AConnection.LinkLost(ALink.Epoch, static_cast<TQORMQTTReasonCode>(code),
                       faulty ? Format("Disconnected (reason=$%2.2X): %s", code, error.Message.c_str())
                              : Format("Disconnected (reason=$%2.2X)", code));
  return false;
}

}  // namespace qor

#include "tools/zerkactl/result_output.h"

#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "tools/zerkactl/human_format.h"
#include "tools/zerkactl/json_text.h"

namespace tovra::tools {

using namespace tovra_windows_vpn;

namespace {

// Collects fields once and prints them as aligned lines or as one JSON object.
class Record {
 public:
  Record(std::string title, bool json) : title_(std::move(title)), json_(json) {}
  Record& Text(const char* key, std::string_view human, std::string_view json_text) {
    fields_.push_back({key, Printable(human), JsonString(json_text)});
    return *this;
  }
  Record& Text(const char* key, std::string_view value) { return Text(key, value, value); }
  Record& Number(const char* key, int64_t value, std::string human = {}) {
    fields_.push_back({key, human.empty() ? std::to_string(value) : human, std::to_string(value)});
    return *this;
  }
  Record& Bool(const char* key, bool value, const char* yes = "yes", const char* no = "no") {
    fields_.push_back({key, value ? yes : no, value ? "true" : "false"});
    return *this;
  }
  Record& List(const char* key, const std::vector<std::string>& items) {
    std::string human, json = "[";
    for (size_t i = 0; i < items.size(); ++i) {
      human += (i ? ", " : "") + Printable(items[i]);
      json += (i ? "," : "") + JsonString(items[i]);
    }
    fields_.push_back({key, human, json + "]"});
    return *this;
  }
  void Print(std::ostream& out) const {
    if (json_) {
      out << '{';
      for (size_t i = 0; i < fields_.size(); ++i) {
        out << (i ? "," : "") << JsonString(fields_[i].key) << ':' << fields_[i].json;
      }
      out << "}\n";
      return;
    }
    out << title_ << '\n';
    for (const auto& f : fields_) {
      out << "  " << f.key << std::string(f.key.size() < 22 ? 22 - f.key.size() : 1, ' ') << f.human
          << '\n';
    }
  }

 private:
  struct Field {
    std::string key, human, json;
  };
  std::string title_;
  bool json_;
  std::vector<Field> fields_;
};

void PrintVersion(Record& r, const TovraVersionInfo& v) {
  r.Number("protocol", v.protocol).Text("version", v.version).List("capabilities", v.capabilities);
}

}  // namespace

void Print(std::ostream& out, bool json, bool available) {
  if (json) {
    out << "{\"available\":" << (available ? "true" : "false") << "}\n";
  } else {
    out << (available ? "available: the Agent and the Service answer\n" : "not available\n");
  }
}

void Print(std::ostream& out, bool json, const TovraNativeHealth& h) {
  Record r("native health", json);
  r.Text("state", Name(h.state)).Number("protocol", h.protocol).Text("version", h.version);
  r.Number("sessionId", h.session_id)
      .Bool("agentConnected", h.agent_connected, "connected", "not connected");
  r.Bool("serviceConnected", h.service_connected, "connected", "not connected");
  r.Text("lastError", Name(h.last_error));
  r.Print(out);
}

void Print(std::ostream& out, bool json, const TovraAgentHealth& h) {
  Record r("agent health", json);
  r.Text("state", Name(h.state));
  PrintVersion(r, h.version);
  r.Number("sessionId", h.session_id).Text("generation", h.generation);
  r.Bool("serviceConnected", h.service_connected, "connected", "not connected");
  r.Print(out);
}

void Print(std::ostream& out, bool json, const TovraServiceHealth& h) {
  Record r("service health", json);
  r.Text("state", Name(h.state));
  PrintVersion(r, h.version);
  r.Text("generation", h.generation)
      .Number("uptimeSeconds", h.uptime_seconds, FormatDuration(h.uptime_seconds));
  r.Print(out);
}

void Print(std::ostream& out, bool json, const TovraWireGuardStatus& s) {
  Record r("wireguard", json);
  r.Text("state", Name(s.state)).Bool("adapterPresent", s.adapter_present);
  r.Number("rxBytes", s.rx_bytes, FormatBytes(s.rx_bytes))
      .Number("txBytes", s.tx_bytes, FormatBytes(s.tx_bytes));
  r.Number("lastHandshakeMs", s.last_handshake_ms, FormatUnixMs(s.last_handshake_ms));
  r.Number("error", s.error, WireGuardErrorName(s.error));
  r.Print(out);
}

void Print(std::ostream& out, bool json, const TovraOpenVpnCapabilities& c) {
  Record r("openvpn capabilities", json);
  r.Text("openVpnFound", Name(c.open_vpn_found)).Text("openVpnVersion", c.open_vpn_version);
  r.Text("interactiveServiceInstalled", Name(c.interactive_service_installed));
  r.Text("interactiveServiceRunning", Name(c.interactive_service_running));
  r.Print(out);
}

void Print(std::ostream& out, bool json, const TovraOpenVpnStatus& s) {
  Record r("openvpn", json);
  r.Text("state", Name(s.state)).Bool("active", s.active);
  r.Number("bytesIn", s.bytes_in, FormatBytes(s.bytes_in))
      .Number("bytesOut", s.bytes_out, FormatBytes(s.bytes_out));
  r.Number("connectedSinceMs", s.connected_since_ms, FormatUnixMs(s.connected_since_ms));
  r.Number("errorKind", static_cast<int64_t>(s.error_kind), Name(s.error_kind));
  r.Number("attemptId", s.attempt_id);
  r.Print(out);
}

void Print(std::ostream& out, bool json, const TovraNativeEvent& e) {
  if (json) {
    out << "{\"type\":" << JsonString(e.type) << ",\"detail\":" << JsonString(e.detail)
        << ",\"timestampMs\":" << e.timestamp_ms << "}\n";
  } else {
    out << FormatUnixMs(e.timestamp_ms) << "  " << Printable(e.type)
        << (e.detail.empty() ? "" : "  " + Printable(e.detail)) << '\n';
  }
  out << std::flush;
}

void PrintPluginError(std::ostream& out, std::ostream& err, bool json, std::string_view code,
                      std::string_view message) {
  if (json) {
    out << "{\"error\":" << JsonString(code) << ",\"message\":" << JsonString(message) << "}\n";
  }
  err << "error " << Printable(code) << (message.empty() ? "" : ": " + Printable(message)) << '\n';
}

}  // namespace tovra::tools

// The Dart-facing surface of the tovra_windows_vpn plugin, for Pigeon to generate
// the app's Dart side from:
//
//   dart run pigeon --input pigeons/tovra_windows_vpn_api.dart
//
// The plugin's C++ side is written by hand to the same shape; its codec numbers
// the custom types in the order they are declared here (enums first, from 129,
// then the data classes), writes every data class as the list of its fields in
// the order below and sends enums by index. Change nothing here without changing
// the plugin: scripts/test compares the two.
import 'package:pigeon/pigeon.dart';

@ConfigurePigeon(PigeonOptions(
  dartOut: 'lib/src/tovra_windows_vpn_api.g.dart',
  dartOptions: DartOptions(),
  dartPackageName: 'tovra_windows_vpn',
))

// 0 also stands for any state number a peer sends that is not listed.
enum TovraComponentState {
  unknown,
  starting,
  up,
  reserved3,
  down,
  reserved5,
}

enum TovraNativeErrorKind {
  none,
  notProduced,
  agentUnavailable,
  versionMismatch,
  agentBusy,
  internal,
}

enum TovraTriState {
  unknown,
  yes,
  no,
}

enum TovraOpenVpnState {
  none,
  connecting,
  resolve,
  tcpConnect,
  wait,
  auth,
  authPending,
  getConfig,
  assignIp,
  addRoutes,
  connected,
  reconnecting,
  exiting,
}

// Kinds above 16 arrive as internal.
enum TovraOpenVpnErrorKind {
  none,
  invalidRequest,
  profileNoProto,
  alreadyActive,
  reserved4,
  noPortOrLaunch,
  managementFailed,
  authFailed,
  fatal,
  exited,
  connectTimeout,
  internal,
  serviceUnavailable,
  launchExchangeFailed,
  notPermitted,
  rejected,
  managementPasswordRejected,
}

class TovraVersionInfo {
  TovraVersionInfo({
    required this.protocol,
    required this.version,
    required this.capabilities,
  });

  int protocol;
  String version;
  List<String> capabilities;
}

class TovraNativeHealth {
  TovraNativeHealth({
    required this.state,
    required this.protocol,
    required this.version,
    required this.sessionId,
    required this.agentConnected,
    required this.serviceConnected,
    required this.lastError,
  });

  TovraComponentState state;
  int protocol;
  String version;
  int sessionId;
  bool agentConnected;
  bool serviceConnected;
  TovraNativeErrorKind lastError;
}

class TovraAgentHealth {
  TovraAgentHealth({
    required this.state,
    required this.version,
    required this.sessionId,
    required this.generation,
    required this.serviceConnected,
  });

  TovraComponentState state;
  TovraVersionInfo version;
  int sessionId;
  String generation;
  bool serviceConnected;
}

class TovraServiceHealth {
  TovraServiceHealth({
    required this.state,
    required this.version,
    required this.generation,
    required this.uptimeSeconds,
  });

  TovraComponentState state;
  TovraVersionInfo version;
  String generation;
  int uptimeSeconds;
}

class TovraWireGuardStatus {
  TovraWireGuardStatus({
    required this.state,
    required this.adapterPresent,
    required this.rxBytes,
    required this.txBytes,
    required this.lastHandshakeMs,
    required this.error,
  });

  TovraComponentState state;
  bool adapterPresent;
  int rxBytes;
  int txBytes;
  int lastHandshakeMs;
  int error;
}

class TovraOpenVpnCapabilities {
  TovraOpenVpnCapabilities({
    required this.openVpnFound,
    required this.openVpnVersion,
    required this.interactiveServiceInstalled,
    required this.interactiveServiceRunning,
    required this.spare1,
    required this.spare2,
  });

  TovraTriState openVpnFound;
  String openVpnVersion;
  TovraTriState interactiveServiceInstalled;
  TovraTriState interactiveServiceRunning;
  TovraTriState spare1;
  TovraTriState spare2;
}

class TovraOpenVpnStatus {
  TovraOpenVpnStatus({
    required this.state,
    required this.active,
    required this.bytesIn,
    required this.bytesOut,
    required this.connectedSinceMs,
    required this.errorKind,
    required this.attemptId,
  });

  TovraOpenVpnState state;
  bool active;
  int bytesIn;
  int bytesOut;
  int connectedSinceMs;
  TovraOpenVpnErrorKind errorKind;
  int attemptId;
}

class TovraNativeEvent {
  TovraNativeEvent({
    required this.type,
    required this.detail,
    required this.timestampMs,
  });

  String type;
  String detail;
  int timestampMs;
}

// Every host method answers from a worker thread, hence @async throughout.
@HostApi()
abstract class TovraWindowsVpnHostApi {
  @async
  bool isAvailable();

  @async
  TovraNativeHealth getHealth();

  @async
  TovraAgentHealth getAgentHealth();

  @async
  TovraServiceHealth getServiceHealth();

  @async
  void startEvents();

  @async
  TovraWireGuardStatus startWireGuard(String config);

  @async
  TovraWireGuardStatus stopWireGuard();

  @async
  TovraWireGuardStatus wireGuardStatus();

  @async
  TovraOpenVpnCapabilities getOpenVpnCapabilities();

  @async
  TovraOpenVpnStatus startOpenVpn(String config, String username, String password);

  @async
  TovraOpenVpnStatus stopOpenVpn();

  @async
  TovraOpenVpnStatus getOpenVpnStatus();
}

@FlutterApi()
abstract class TovraWindowsVpnFlutterApi {
  void onNativeEvent(TovraNativeEvent event);
}

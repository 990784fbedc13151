export { Sidecar } from './client.js';
export type { StartOptions, CallOptions, ConfigureOptions, ExternalProcess, ReadHistoryOptions } from './client.js';
export {
  SidecarClientError,
  SidecarError,
  SidecarTimeoutError,
  SidecarClosedError,
  SidecarProtocolError,
} from './errors.js';
export type { SentCommand, SessionEnd } from './errors.js';
export { parseWireJson } from './json.js';
export type { WireValue } from './json.js';
export * from './messages.js';

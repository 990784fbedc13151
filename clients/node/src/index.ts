export { Sidecar } from './client.js';
export type {
  StartOptions,
  ExactStartOptions,
  CallOptions,
  ConfigureOptions,
  ReadHistoryOptions,
  SidecarEvents,
} from './client.js';
export { SupervisedSidecar } from './supervised.js';
export type { RestartOptions, RestartEvent, RestartFailedEvent, SupervisedEvents, SupervisedStartOptions } from './supervised.js';
export { HistoryCursor } from './cursor.js';
export type { HistoryRead, SessionInfo } from './cursor.js';
export { identity } from './identity.js';
export type { ExternalProcess } from './identity.js';
export {
  AbortError,
  SidecarClientError,
  SidecarError,
  SidecarStartError,
  SidecarTimeoutError,
  SidecarClosedError,
  SidecarProtocolError,
  SidecarIntegerError,
  SidecarCursorError,
} from './errors.js';
export type { SentCommand, SessionEnd } from './errors.js';
export { parseWireJson } from './json.js';
export type { WireValue } from './json.js';
export type { TypedEventEmitter } from './events.js';
export * from './messages.js';

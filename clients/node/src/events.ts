/** An EventEmitter whose event names and listener arguments are typed. */

import { EventEmitter } from 'node:events';

/** Event names and the arguments their listeners get. */
export type EventMap<E> = { [K in keyof E]: unknown[] };

/** The listener methods of EventEmitter, limited to the events of `E`. */
export interface TypedEventEmitter<E extends EventMap<E>> {
  on<K extends keyof E & string>(event: K, listener: (...args: Extract<E[K], unknown[]>) => void): this;
  once<K extends keyof E & string>(event: K, listener: (...args: Extract<E[K], unknown[]>) => void): this;
  off<K extends keyof E & string>(event: K, listener: (...args: Extract<E[K], unknown[]>) => void): this;
  addListener<K extends keyof E & string>(event: K, listener: (...args: Extract<E[K], unknown[]>) => void): this;
  removeListener<K extends keyof E & string>(event: K, listener: (...args: Extract<E[K], unknown[]>) => void): this;
  prependListener<K extends keyof E & string>(event: K, listener: (...args: Extract<E[K], unknown[]>) => void): this;
  removeAllListeners(event?: keyof E & string): this;
  listenerCount(event: keyof E & string): number;
}

/**
 * The EventEmitter class typed for the events `E`; at run time it is
 * EventEmitter itself (so `instanceof EventEmitter` holds).
 */
export function typedEmitter<E extends EventMap<E>>(): new () => TypedEventEmitter<E> & {
  emit<K extends keyof E & string>(event: K, ...args: Extract<E[K], unknown[]>): boolean;
} {
  return EventEmitter as never;
}

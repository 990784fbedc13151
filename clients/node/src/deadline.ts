/** Deadlines and abort signals of calls. */

import { AbortError, SidecarTimeoutError } from './errors.js';

/** Deadline of one call. */
export interface CallOptions {
  /** Aborts the wait: the call rejects with an {@link AbortError}. */
  signal?: AbortSignal | undefined;
  /** ms; default: the client's timeoutMs. Infinity: no limit. */
  timeoutMs?: number | undefined;
}

function sentence(what: string): string {
  return what.charAt(0).toUpperCase() + what.slice(1);
}

/** The AbortError of a wait for `what` ("the greeting", "the answer to sampleNow"). */
export function abortError(signal: AbortSignal, what: string): AbortError {
  return new AbortError(`The wait for ${what} was aborted`, { cause: signal.reason });
}

/**
 * Races `promise` against a deadline of `timeoutMs` and against `signal`;
 * rejects with a {@link SidecarTimeoutError} or an {@link AbortError}
 * naming `what`.
 */
export function withDeadline<T>(
  promise: Promise<T>,
  timeoutMs: number,
  signal: AbortSignal | undefined,
  what: string,
): Promise<T> {
  if (signal?.aborted) return Promise.reject(abortError(signal, what));
  if (!Number.isFinite(timeoutMs) && signal === undefined) return promise;
  return new Promise<T>((resolve, reject) => {
    let timer: NodeJS.Timeout | undefined;
    const onAbort = (): void => {
      cleanup();
      reject(abortError(signal!, what));
    };
    const cleanup = (): void => {
      clearTimeout(timer);
      signal?.removeEventListener('abort', onAbort);
    };
    if (Number.isFinite(timeoutMs)) {
      timer = setTimeout(() => {
        cleanup();
        reject(new SidecarTimeoutError(`${sentence(what)} did not come within ${timeoutMs} ms`));
      }, timeoutMs);
    }
    signal?.addEventListener('abort', onAbort, { once: true });
    promise.then(
      (value) => {
        cleanup();
        resolve(value);
      },
      (error: unknown) => {
        cleanup();
        reject(error);
      },
    );
  });
}

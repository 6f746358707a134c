// zuntar-mervo: the client of ZuntarMervoPlugin for web pages.
//
// The plugin is a small HTTP server on the person's own computer
// (http://localhost:18080/MERVO/<COMMAND>) that lists their GOST
// certificates, signs and decrypts with their keys. This module speaks its
// protocol: the reply envelope {Status, Data, Errors}, the bare-text replies
// some failures give, Base64 bodies, queued tasks collected with GETRESULT,
// and the HTTP statuses that mean "site refused", "still running" and
// "failed". It uses nothing but fetch, and sends only requests that need no
// CORS preflight (no headers of its own, bodies without a content type).
//
// One file, no dependencies: import it as an npm package or straight from
// a <script type="module">.

const DEFAULT_BASE_URL = 'http://localhost:18080';
const DEFAULT_TIMEOUT_MS = 120_000;
const DEFAULT_POLL_INTERVAL_MS = 300;
// Polling slows down by half each time the task is still running, up to this.
const MAX_POLL_INTERVAL_MS = 5_000;
const POLL_BACKOFF = 1.5;
// The plugin ends a task that has not finished 30 minutes after it was sent
// ("Время ожидания выполнения криптозадания истекло"); the client stops
// asking a little later in case that answer never comes.
const TASK_LIFETIME_MS = 30 * 60_000;
const TASK_GRACE_MS = 60_000;
// The plugin refuses a request body of this size or more before reading it.
const MAX_BODY_BYTES = 268_435_456;
// Input is encoded a piece at a time: whole groups of three bytes, so the
// pieces' Base64 texts join without padding between them.
const ENCODE_PIECE_BYTES = 3 * 16_384;
const BLOB_SLICE_BYTES = 3 * 1_048_576;

// Texts of the plugin that say what was not found: a certificate, a task, a
// recipient's key.
const NOT_FOUND = [
  /^Не удалось найти сертификат/,
  /^Не удается найти сертификат/,
  /^сертификат(ы)?( с .*)? не найден/,
  /^Криптозадание с Id=.* не найдено/,
  /^КЗ с Id=.* не найдено/,
];
const TASK_EXPIRED = 'Время ожидания выполнения криптозадания истекло';
const NO_CERTIFICATES = /^(сертификаты не найдены|certificates not founded)/;
const NO_KEY_MEDIA = 'ключевой носитель не найден';

/**
 * A failure of a call to the plugin. `kind` says what went wrong, `status`
 * is the HTTP status of the plugin's reply (0 when there was none), and
 * `messages` the plugin's own texts (Russian, for the person).
 */
export class MervoError extends Error {
  constructor(message, { kind, status = 0, messages = [], command = null, taskId = null, cause } = {}) {
    super(message, cause === undefined ? undefined : { cause });
    this.name = 'MervoError';
    this.kind = kind;
    this.status = status;
    this.messages = messages;
    this.command = command;
    this.taskId = taskId;
  }
}

export class MervoClient {
  #baseUrl;
  #timeoutMs;
  #pollIntervalMs;
  #fetch;

  /**
   * @param {object} [options]
   * @param {string} [options.baseUrl] the plugin's address
   * @param {number} [options.timeoutMs] the longest one request may take
   * @param {number} [options.pollIntervalMs] the first wait before asking for a queued task's result
   * @param {typeof fetch} [options.fetch] the fetch to use (the global one by default)
   */
  constructor({ baseUrl = DEFAULT_BASE_URL, timeoutMs = DEFAULT_TIMEOUT_MS, pollIntervalMs = DEFAULT_POLL_INTERVAL_MS,
                fetch } = {}) {
    this.#baseUrl = String(baseUrl).replace(/\/+$/, '');
    this.#timeoutMs = positive(timeoutMs, 'timeoutMs');
    this.#pollIntervalMs = positive(pollIntervalMs, 'pollIntervalMs');
    this.#fetch = fetch;
  }

  get baseUrl() { return this.#baseUrl; }

  /**
   * Whether the plugin answers, its version and, when it cannot work, why.
   * Never fails for an absent plugin: `available` is false then.
   */
  async detect({ signal } = {}) {
    let reply;
    try {
      reply = await this.#request('PING', { signal });
    } catch (error) {
      if (error.kind === 'aborted') throw error;
      return { available: false, version: null, cspStatus: null, error };
    }
    const envelope = parseEnvelope(reply.text);
    if (envelope === null) {
      const error = new MervoError(`Something else than the plugin answers at ${this.#baseUrl}`,
                                   { kind: 'plugin-error', status: reply.status, command: 'PING' });
      return { available: false, version: null, cspStatus: null, error };
    }
    return {
      available: true,
      version: typeof envelope.data === 'string' ? envelope.data : null,
      cspStatus: envelope.status ? null : envelope.errors.join('\n') || 'unknown',
    };
  }

  /** The person's certificates that have a key (`all`: every certificate of the personal stores). */
  async listCertificates({ inn, onlyValid = false, all = false, signal } = {}) {
    const command = all ? 'ENUMALLCERTS' : 'ENUMCERTS';
    const query = [];
    if (inn !== undefined && inn !== null && inn !== '') {
      const digits = String(inn).trim();
      if (!/^\d{1,12}$/.test(digits)) throw new TypeError('inn: 10 or 12 digits expected');
      query.push('inn=' + digits);
    }
    if (onlyValid) query.push('onlyValid');
    const reply = await this.#request(command, { query, signal });
    const envelope = parseEnvelope(reply.text);
    if (envelope !== null && !envelope.status && reply.status === 200 &&
        envelope.errors.some((text) => NO_CERTIFICATES.test(text)))
      return [];
    const data = this.#accept(command, reply, envelope).data;
    return Array.isArray(data) ? data.map(certificateEntry) : [];
  }

  /** One certificate of the person's store, DER. */
  async getCertificate(options = {}) {
    const name = certificateName(options, { required: true, list: false });
    const reply = await this.#request('GETCERTBODY', { query: [name], signal: options.signal });
    return fromBase64(this.#accept('GETCERTBODY', reply).data ?? '');
  }

  /**
   * Whether the key of a certificate is at hand. Given the certificate
   * itself (DER bytes, PEM or Base64 text), the plugin asks the person at
   * the desktop to insert the key media when it is not.
   */
  async checkKey(options = {}) {
    let reply;
    if (options.certificate !== undefined) {
      const body = typeof options.certificate === 'string' ? options.certificate
                                                            : base64Text(bytesOf(options.certificate, 'certificate'));
      reply = await this.#request('CHECKCERTANDCLUE', { body, signal: options.signal });
    } else {
      const name = certificateName(options, { required: true, list: false });
      reply = await this.#request('CHECKCERTANDCLUE', { query: [name], signal: options.signal });
    }
    const envelope = parseEnvelope(reply.text);
    if (envelope !== null && reply.status === 200 && !envelope.status && envelope.errors.includes(NO_KEY_MEDIA))
      return false;
    this.#accept('CHECKCERTANDCLUE', reply, envelope);
    return true;
  }

  /** A CMS signature (DER) of `data`: detached, or `attached` with the data inside. */
  async sign(data, options = {}) {
    const command = options.attached ? 'GETSIGN_ATT' : 'GETSIGN';
    return this.#task(command, data, certificateName(options, { required: true }), options);
  }

  /** The raw GOST R 34.10-2012 signature of a GOST R 34.11-2012 hash value, in the provider's byte order. */
  async signHash(hash, options = {}) {
    if (typeof hash === 'string') throw new TypeError('hash: bytes expected (Uint8Array or ArrayBuffer)');
    return this.#task('SIGN_HASH', hash, certificateName(options, { required: true }), options);
  }

  /** An XML signature of a document (GET_XML_SIGN). */
  async signXml(xml, options = {}) {
    return this.#task('GET_XML_SIGN', xml, certificateName(options, { required: true }), options);
  }

  /** The content of a CMS enveloped message; the message names the key that opens it. */
  async decrypt(data, options = {}) {
    return this.#task('DECRYPT', data, certificateName(options, { required: false }), options);
  }

  /**
   * The payload of an encrypted response of the fund's services. `list`
   * (certificates as listCertificates gives them, or thumbprints) are tried
   * in turn until one opens it.
   */
  async decryptFundResponse(xml, options = {}) {
    const command = FUND_COMMANDS[options.service ?? 'fss'];
    if (command === undefined) throw new TypeError('service: "fss", "sedo" or "poved" expected');
    let name;
    if (options.list !== undefined) {
      if (options.serial !== undefined || options.thumbprint !== undefined)
        throw new TypeError('give either list, or serial or thumbprint');
      const thumbprints = Array.from(options.list, (c) => (typeof c === 'string' ? c : c?.thumbprint));
      name = certificateName({ thumbprint: thumbprints }, { required: true });
    } else {
      name = certificateName(options, { required: true });
    }
    return this.#task(command, xml, name, options);
  }

  /**
   * The result of a queued task, waited for: what sign() and the others do
   * after queuing. Useful to collect a task queued before the page reloaded,
   * by the id the plugin gave or the page's own taskId (the plugin keeps
   * that without "-" and in lower case).
   */
  async waitForResult(id, { signal, onProgress } = {}) {
    const taskId = String(id).replace(/-/g, '').toLowerCase();
    const started = Date.now();
    let interval = this.#pollIntervalMs;
    for (;;) {
      try {
        await sleep(interval, signal);
      } catch (error) {
        error.taskId = taskId;
        throw error;
      }
      const reply = await this.#request('GETRESULT', { query: ['Id=' + encodeURIComponent(taskId)], signal, taskId });
      if (reply.status !== 201) {
        const envelope = this.#accept('GETRESULT', reply, parseEnvelope(reply.text), taskId);
        onProgress?.({ stage: 'done', taskId });
        return fromBase64(envelope.data ?? '');
      }
      onProgress?.({ stage: 'in progress', taskId });
      if (Date.now() - started > TASK_LIFETIME_MS + TASK_GRACE_MS)
        throw new MervoError(TASK_EXPIRED, { kind: 'timeout', status: 201, messages: [TASK_EXPIRED],
                                              command: 'GETRESULT', taskId });
      interval = Math.min(interval * POLL_BACKOFF, Math.max(MAX_POLL_INTERVAL_MS, this.#pollIntervalMs));
    }
  }

  // A crypto task: queued and waited for, or run at once with _SYNC.
  async #task(command, data, certificate, { sync = false, taskId, signal, onProgress }) {
    const query = certificate === null ? [] : [certificate];
    if (taskId !== undefined) {
      if (!/^[0-9A-Za-z-]{1,64}$/.test(String(taskId))) throw new TypeError('taskId: letters, digits and "-" expected');
      query.push('TaskId=' + taskId);
    }
    const body = await encodeBody(data);
    if (sync) {
      onProgress?.({ stage: 'in progress', taskId: null });
      const reply = await this.#request(command + '_SYNC', { query, body, signal });
      const envelope = this.#accept(command + '_SYNC', reply);
      onProgress?.({ stage: 'done', taskId: null });
      return fromBase64(envelope.data ?? '');
    }
    const reply = await this.#request(command, { query, body, signal });
    const id = this.#accept(command, reply).data;
    if (typeof id !== 'string' || id === '')
      throw new MervoError(`The plugin gave no task id for ${command}`, { kind: 'plugin-error', status: reply.status,
                                                                          command });
    onProgress?.({ stage: 'queued', taskId: id });
    return this.waitForResult(id, { signal, onProgress });
  }

  // One request: its HTTP status, status text and body text. Fails with
  // "network", "timeout" or "aborted" when there is no reply.
  async #request(command, { query = [], body, signal, taskId = null }) {
    const url = this.#baseUrl + '/MERVO/' + command + (query.length ? '?' + query.join('&') : '');
    const controller = new AbortController();
    const failure = (kind, message, cause) => new MervoError(message, { kind, command, taskId, cause });
    if (signal?.aborted) throw abortedError(signal, command, taskId);
    let timedOut = false;
    const onAbort = () => controller.abort(signal.reason);
    signal?.addEventListener('abort', onAbort, { once: true });
    const timer = setTimeout(() => {
      timedOut = true;
      controller.abort();
    }, this.#timeoutMs);
    try {
      const fetchFn = this.#fetch ?? globalThis.fetch.bind(globalThis);
      const response = await fetchFn(url, {
        method: body === undefined ? 'GET' : 'POST',
        body,
        signal: controller.signal,
        cache: 'no-store',
        credentials: 'omit',
      });
      const text = await response.text();
      return { status: response.status, statusText: response.statusText, text };
    } catch (error) {
      if (signal?.aborted) throw abortedError(signal, command, taskId);
      if (timedOut)
        throw failure('timeout', `The plugin did not answer ${command} within ${this.#timeoutMs} ms`, error);
      throw failure('network', `The plugin does not answer at ${this.#baseUrl}: it is not running, or the browser ` +
                               'does not let this site reach this computer', error);
    } finally {
      clearTimeout(timer);
      signal?.removeEventListener('abort', onAbort);
    }
  }

  // The envelope of a successful reply; a MervoError for everything else.
  #accept(command, reply, envelope = parseEnvelope(reply.text), taskId = null) {
    const status = reply.status;
    if (status === 403) {
      const messages = envelope?.errors ?? [];
      throw new MervoError(messages.join('\n') || 'This site is not admitted to the keys (HTTP 403)',
                           { kind: 'refused-origin', status, messages, command, taskId });
    }
    if (envelope === null) {
      // Bare texts: "#Error#<class> <message>" of a failed request (an
      // unknown command among them), a failed task's text, or a status line
      // with nothing after it.
      const text = reply.text.trim().replace(/^#Error#/, '');
      const reason = reasonText(reply.statusText);
      const messages = text ? [text] : reason ? [reason] : [];
      throw new MervoError(messages.join('\n') || bareStatusMessage(command, status),
                           { kind: kindOf(messages), status, messages, command, taskId });
    }
    if (!envelope.status || status !== 200) {
      const messages = envelope.errors;
      throw new MervoError(messages.join('\n') || bareStatusMessage(command, status),
                           { kind: kindOf(messages), status, messages, command, taskId });
    }
    return envelope;
  }
}

const FUND_COMMANDS = { fss: 'DECRYPT_FSS_RESPONSE', sedo: 'DECRYPT_SEDO_RESPONSE', poved: 'DECRYPT_POVED_RESPONSE' };

function positive(value, name) {
  const number = Number(value);
  if (!(number > 0)) throw new TypeError(`${name}: a positive number of milliseconds expected`);
  return number;
}

function bareStatusMessage(command, status) {
  if (status === 501) return `The plugin answers ${command} only to pages on this computer (HTTP 501)`;
  if (status === 406) return 'The data is too large for the plugin (HTTP 406)';
  return `The plugin failed ${command} (HTTP ${status})`;
}

// The reason phrase of a status line, where the plugin puts some failures:
// the browser reads its bytes as Latin-1, the plugin writes UTF-8 or code
// page 1251.
function reasonText(statusText) {
  if (!statusText || !/[\u0080-\u00ff]/.test(statusText) || /[^\u0000-\u00ff]/.test(statusText)) return statusText;
  const bytes = Uint8Array.from(statusText, (c) => c.charCodeAt(0));
  try {
    return new TextDecoder('utf-8', { fatal: true }).decode(bytes);
  } catch {
    return new TextDecoder('windows-1251').decode(bytes);
  }
}

function kindOf(messages) {
  if (messages.some((text) => text.startsWith(TASK_EXPIRED))) return 'timeout';
  if (messages.some((text) => NOT_FOUND.some((pattern) => pattern.test(text)))) return 'not-found';
  return 'plugin-error';
}

function abortedError(signal, command, taskId) {
  return new MervoError(`${command} was cancelled`, { kind: 'aborted', command, taskId, cause: signal.reason });
}

function sleep(ms, signal) {
  return new Promise((resolve, reject) => {
    if (signal?.aborted) return reject(abortedError(signal, 'GETRESULT', null));
    const onAbort = () => {
      clearTimeout(timer);
      reject(abortedError(signal, 'GETRESULT', null));
    };
    const timer = setTimeout(() => {
      signal?.removeEventListener('abort', onAbort);
      resolve();
    }, ms);
    signal?.addEventListener('abort', onAbort, { once: true });
  });
}

// "CertSN=…" or "CertThumb=…" of the options, or null. Colons and blanks
// are dropped as the plugin does; an array names several certificates, the
// first one at hand is used.
function certificateName({ serial, thumbprint }, { required, list = true }) {
  if (serial !== undefined && thumbprint !== undefined) throw new TypeError('give either serial or thumbprint');
  const [key, value] = serial !== undefined ? ['CertSN', serial] : ['CertThumb', thumbprint];
  if (value === undefined || value === null) {
    if (required) throw new TypeError('serial or thumbprint of the certificate expected');
    return null;
  }
  const values = Array.isArray(value) ? value : [value];
  if (values.length === 0 || (!list && values.length > 1)) throw new TypeError(`${key}: one certificate expected`);
  const hex = values.map((v) => String(v ?? '').replace(/[\s:]/g, ''));
  if (hex.some((h) => !/^[0-9A-Fa-f]+$/.test(h)))
    throw new TypeError((serial !== undefined ? 'serial' : 'thumbprint') + ': hexadecimal digits expected');
  return key + '=' + hex.join(';');
}

function certificateEntry(e) {
  return {
    serial: e.Serial,
    thumbprint: e.Thumbprint,
    subject: e.Subject,
    subjectName: e.SubjectName,
    issuer: e.Issuer,
    issuerName: e.IssuerName,
    subjectFio: e.SubjectFIO ?? '',
    validFrom: localDate(e.ValidFrom),
    validTo: localDate(e.ValidFor),
  };
}

// "yyyy-mm-dd", a local date, as the start of that day.
function localDate(text) {
  const m = /^(\d{4})-(\d{2})-(\d{2})$/.exec(text ?? '');
  return m ? new Date(Number(m[1]), Number(m[2]) - 1, Number(m[3])) : new Date(NaN);
}

// {status, data, errors} of a reply envelope; null when the text is none.
// The plugin leaves line breaks inside its error texts unescaped, which
// JSON does not allow: those are escaped before a second try.
function parseEnvelope(text) {
  if (!/^\s*\{/.test(text)) return null;
  let value;
  try {
    value = JSON.parse(text);
  } catch {
    try {
      value = JSON.parse(escapeControlsInStrings(text));
    } catch {
      return null;
    }
  }
  if (value === null || typeof value !== 'object' || typeof value.Status !== 'boolean') return null;
  const errors = Array.isArray(value.Errors) ? value.Errors.map(String) : [];
  return { status: value.Status, data: value.Data ?? null, errors };
}

function escapeControlsInStrings(text) {
  let out = '';
  let inString = false;
  for (let i = 0; i < text.length; ++i) {
    const c = text[i];
    if (inString && c === '\\') {
      out += c + (text[++i] ?? '');
      continue;
    }
    if (c === '"') inString = !inString;
    const code = c.charCodeAt(0);
    out += inString && code < 0x20 ? '\\u' + code.toString(16).padStart(4, '0') : c;
  }
  return out;
}

// The request body of a task: the data in Base64, as a Blob without a type
// (so the browser sends no content type and needs no preflight).
async function encodeBody(data) {
  let size;
  let pieces;
  if (typeof Blob !== 'undefined' && data instanceof Blob) {
    size = data.size;
    checkSize(size);
    pieces = [];
    for (let at = 0; at < data.size; at += BLOB_SLICE_BYTES)
      pieces.push(...base64Pieces(new Uint8Array(await data.slice(at, at + BLOB_SLICE_BYTES).arrayBuffer())));
  } else {
    const bytes = typeof data === 'string' ? new TextEncoder().encode(data) : bytesOf(data, 'data');
    size = bytes.length;
    checkSize(size);
    pieces = base64Pieces(bytes);
  }
  return new Blob(pieces);
}

function checkSize(size) {
  if (Math.ceil(size / 3) * 4 >= MAX_BODY_BYTES)
    throw new MervoError(`The data is too large for the plugin: ${size} bytes, less than 192 MiB expected`,
                         { kind: 'plugin-error', status: 406 });
}

function bytesOf(data, name) {
  if (data instanceof Uint8Array) return data;
  if (data instanceof ArrayBuffer) return new Uint8Array(data);
  if (ArrayBuffer.isView(data)) return new Uint8Array(data.buffer, data.byteOffset, data.byteLength);
  throw new TypeError(`${name}: Uint8Array, ArrayBuffer, Blob or string expected`);
}

function base64Pieces(bytes) {
  const pieces = [];
  for (let at = 0; at < bytes.length; at += ENCODE_PIECE_BYTES)
    pieces.push(base64Text(bytes.subarray(at, at + ENCODE_PIECE_BYTES)));
  return pieces;
}

// Base64 of a few bytes. String.fromCharCode takes them as arguments, so
// they go in blocks that stay well within the engine's argument limit.
function base64Text(bytes) {
  if (typeof bytes.toBase64 === 'function') return bytes.toBase64();
  let binary = '';
  for (let at = 0; at < bytes.length; at += 8192)
    binary += String.fromCharCode.apply(null, bytes.subarray(at, at + 8192));
  return btoa(binary);
}

/** Base64 of bytes (a signature to send to the page's server, say). */
export function toBase64(bytes) {
  return base64Pieces(bytesOf(bytes, 'bytes')).join('');
}

/** The bytes of a Base64 text. */
export function fromBase64(text) {
  if (typeof Uint8Array.fromBase64 === 'function') return Uint8Array.fromBase64(text);
  const binary = atob(text);
  const bytes = new Uint8Array(binary.length);
  for (let i = 0; i < binary.length; ++i) bytes[i] = binary.charCodeAt(i);
  return bytes;
}

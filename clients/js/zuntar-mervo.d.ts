// Types of zuntar-mervo, the client of ZuntarMervoPlugin for web pages.

/** What went wrong in a call to the plugin. */
export type MervoErrorKind =
  /** The plugin does not admit this page's site to the keys (HTTP 403). */
  | 'refused-origin'
  /** The certificate, the task or the key named was not found. */
  | 'not-found'
  /** The plugin answered with a failure: `messages` say which. */
  | 'plugin-error'
  /** No reply: the plugin is not running, or the browser keeps the site from reaching this computer. */
  | 'network'
  /** No reply in `timeoutMs`, or a queued task outlived the plugin's 30 minutes. */
  | 'timeout'
  /** The caller's AbortSignal ended the call. */
  | 'aborted';

export class MervoError extends Error {
  constructor(message: string, options: {
    kind: MervoErrorKind; status?: number; messages?: string[]; command?: string | null; taskId?: string | null;
    cause?: unknown;
  });
  readonly name: 'MervoError';
  readonly kind: MervoErrorKind;
  /** The HTTP status of the plugin's reply; 0 when there was none. */
  readonly status: number;
  /** The plugin's own texts (Russian, for the person); `message` joins them when there are any. */
  readonly messages: string[];
  /** The plugin's command that failed, as sent ("GETSIGN_SYNC", "GETRESULT", …). */
  readonly command: string | null;
  /** The id of the queued task, when the failure came after it was queued (it may still finish). */
  taskId: string | null;
}

export interface MervoClientOptions {
  /** The plugin's address. Default "http://localhost:18080". */
  baseUrl?: string;
  /** The longest one request may take, in milliseconds. Default 120000. */
  timeoutMs?: number;
  /** The first wait before asking for a queued task's result; later waits grow by half, up to 5 s. Default 300. */
  pollIntervalMs?: number;
  /** The fetch to use; the global one by default. */
  fetch?: typeof fetch;
}

export interface Detection {
  /** The plugin answered. */
  available: boolean;
  /** Its version, "1.0.0.1". */
  version: string | null;
  /** Why the plugin cannot work ("CSP_NOT_EXIST", …); null when it can. */
  cspStatus: string | null;
  /** Why it is not available. */
  error?: MervoError;
}

export interface Certificate {
  /** Serial number, hexadecimal: names the certificate in later calls. */
  serial: string;
  /** SHA-1 thumbprint, hexadecimal: names the certificate in later calls. */
  thumbprint: string;
  /** The subject's distinguished name. */
  subject: string;
  /** The organisation, or the person where there is none. */
  subjectName: string;
  issuer: string;
  issuerName: string;
  /** Surname and given names of the holder; empty when the subject names no person. */
  subjectFio: string;
  /** First day the key may be used (local midnight). */
  validFrom: Date;
  /** Last day the key may be used (local midnight of that day). */
  validTo: Date;
}

export interface Progress {
  /** "queued": the plugin stored the task; "in progress": it is still running; "done": the result is there. */
  stage: 'queued' | 'in progress' | 'done';
  /** The task's id; null for a call made at once (`sync`). */
  taskId: string | null;
}

/** Data to sign or decrypt. A string is taken as UTF-8 text. */
export type Data = Uint8Array | ArrayBuffer | ArrayBufferView | Blob | string;

/** A certificate by serial number or thumbprint; several (an array): the first one whose key is at hand. */
export type CertificateName =
  | { serial: string | readonly string[]; thumbprint?: never }
  | { thumbprint: string | readonly string[]; serial?: never };

export interface CallOptions {
  signal?: AbortSignal;
}

export interface TaskOptions extends CallOptions {
  /** Run at once and answer with the result (`<COMMAND>_SYNC`) instead of queuing the task. Default false. */
  sync?: boolean;
  /** The page's own id for the task (letters, digits, "-"); the plugin makes one otherwise. */
  taskId?: string;
  onProgress?: (progress: Progress) => void;
}

export type SignOptions = CertificateName & TaskOptions & {
  /** Put the data into the signature. Default false (detached). */
  attached?: boolean;
};

export type DecryptFundResponseOptions = TaskOptions &
  (CertificateName | {
    /** Certificates (as listCertificates gives them) or thumbprints, tried in turn until one opens the response. */
    list: Iterable<Pick<Certificate, 'thumbprint'> | string>;
    serial?: never;
    thumbprint?: never;
  }) & {
    /** Which service's response. Default "fss". */
    service?: 'fss' | 'sedo' | 'poved';
  };

export class MervoClient {
  constructor(options?: MervoClientOptions);
  readonly baseUrl: string;

  /** PING: never fails for an absent plugin (`available` is false then). */
  detect(options?: CallOptions): Promise<Detection>;

  /** The certificates with a key (`all`: every certificate of the personal stores); [] when there are none. */
  listCertificates(options?: CallOptions & {
    /** The holder's INN, 10 or 12 digits. */
    inn?: string | number;
    /** Leave out certificates whose key has expired. */
    onlyValid?: boolean;
    all?: boolean;
  }): Promise<Certificate[]>;

  /** One certificate of the person's store, DER. */
  getCertificate(options: CertificateName & CallOptions): Promise<Uint8Array>;

  /**
   * Whether the certificate's key is at hand. Given the certificate itself (DER, or PEM or Base64 text),
   * the plugin asks the person to insert the key media when it is not.
   */
  checkKey(options: (CertificateName | { certificate: Uint8Array | ArrayBuffer | string }) & CallOptions):
    Promise<boolean>;

  /** A CMS signature (DER) of the data, detached unless `attached`. */
  sign(data: Data, options: SignOptions): Promise<Uint8Array>;

  /** The raw signature of a GOST R 34.11-2012 hash value, in the provider's byte order (reversed). */
  signHash(hash: Uint8Array | ArrayBuffer | ArrayBufferView, options: CertificateName & TaskOptions):
    Promise<Uint8Array>;

  /** An XML signature of the document (the plugin ends these tasks with "Операция прервана" today). */
  signXml(xml: Data, options: CertificateName & TaskOptions): Promise<Uint8Array>;

  /** The content of a CMS enveloped message (DER); the message names the key that opens it. */
  decrypt(message: Data, options?: Partial<CertificateName> & TaskOptions): Promise<Uint8Array>;

  /** The payload of an encrypted response of the fund's services. */
  decryptFundResponse(xml: Data, options: DecryptFundResponseOptions): Promise<Uint8Array>;

  /**
   * Waits for the result of a queued task, polling as the task calls do: by the id the plugin gave, or the page's
   * own `taskId`.
   */
  waitForResult(taskId: string, options?: CallOptions & { onProgress?: (progress: Progress) => void }):
    Promise<Uint8Array>;
}

/** Base64 of bytes. */
export function toBase64(bytes: Uint8Array | ArrayBuffer | ArrayBufferView): string;
/** The bytes of a Base64 text. */
export function fromBase64(text: string): Uint8Array;

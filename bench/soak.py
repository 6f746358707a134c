#!/usr/bin/env python3
"""Soak test of the running plugin: many concurrent clients for a set time,
mixing every command, checking every reply.

Each client opens a new connection per request, as pages do, and runs one
operation after another, chosen at random by weight: the information and
certificate commands, every task command queued (its result collected by
polling GETRESULT) and in its _SYNC form, the task listing and the log.

- Every reply is compared with what it must be. Every signature is verified
  (bench_soak_verify: OpenSSL's CMS with the gost engine, in one process),
  and a sample of them again by the `openssl cms -verify` command; every
  decryption must give the plaintext encrypted by openssl.
- A connection the plugin resets without a reply (more clients than
  MAXCONNECTIONS) is refused, not wrong: the client retries it and it is
  counted apart. A reply that is cut short, late (past --timeout) or differs
  is wrong.
- Every task that got an id must end (its result, or the error its command
  ends with) within --task-limit seconds: otherwise it is lost. At the end
  the task table must hold exactly the tasks the clients were answered for,
  none still waiting.
- The plugin's resident memory, threads and open files are sampled every
  --sample seconds; growth is measured from the end of the warm-up.

Usage: bench/soak.py [--build build/release] [--clients 200] [--seconds 600]
Exit status 1 when a reply was wrong, a task was lost, a signature did not
verify or the plugin ended; memory growth is reported, not judged.
"""

import argparse
import base64
import collections
import http.client
import json
import os
import queue
import random
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
OK_HEAD = '{\r\n"Status": true,\r\n"Data": '
ABORTED = 'Операция прервана'


def envelope_error(text):
    return '{\r\n"Status": false,\r\n"Data": null,\r\n"Errors": ["' + text + '"]\r\n}'


class Wrong(Exception):
    """A reply that is not what the command must answer."""


class Stats:
    def __init__(self):
        self.lock = threading.Lock()
        self.requests = collections.Counter()  # per command, replies received
        self.wrong = collections.Counter()
        self.refused = 0
        self.refusals = collections.Counter()  # by how the client saw them
        self.wrong_samples = []
        self.tasks_queued = 0
        self.tasks_finished = 0
        self.tasks_lost = []
        self.task_replies = 0  # requests that made a task record and were answered
        self.signatures = 0
        self.verified = 0
        self.verify_failed = []
        self.openssl_checked = 0
        self.openssl_failed = 0
        self.openssl_skipped = 0

    def add(self, name, value=1):
        with self.lock:
            setattr(self, name, getattr(self, name) + value)

    def count(self, command):
        with self.lock:
            self.requests[command] += 1

    def fail(self, command, text):
        with self.lock:
            self.wrong[command] += 1
            if len(self.wrong_samples) < 30:
                self.wrong_samples.append('%s: %s' % (command, text[:300]))


class Plugin:
    """A private copy of the program with its own platform tree, database
    and configuration, started for the run and stopped after it."""

    def __init__(self, args, work):
        self.args = args
        self.work = work
        self.dir = os.path.join(work, 'plugin')
        self.root = os.path.join(work, 'root')
        self.pki = os.path.join(work, 'pki')
        os.makedirs(self.dir)
        os.makedirs(self.root)
        self.exe = os.path.join(self.dir, 'ZuntarMervoPlugin')
        shutil.copy2(args.plugin, self.exe)
        self.env = dict(os.environ)
        for name in ('LC_ALL', 'LC_CTYPE', 'LANG', 'FIREBIRD', 'FIREBIRD_LOCK', 'NOTIFY_SOCKET'):
            self.env.pop(name, None)
        self.env.update(ZUNTAR_PLATFORM_ROOT=self.root, LC_ALL='ru_RU.UTF-8', QT_QPA_PLATFORM='offscreen')
        self.port = free_port()
        self.process = None

    def tool(self, *argv):
        subprocess.run([self.args.certtool, *argv], env=self.env, check=True, stdout=subprocess.DEVNULL)

    def prepare(self):
        self.tool('register-provider', '--module', self.args.module)
        self.tool('make-test-pki', '--out', self.pki)
        subprocess.run([self.exe, '-CREATEDB'], env=self.env, check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        with open(os.path.join(self.dir, 'ZuntarMervoPlugin.ini'), 'w', newline='') as f:
            f.write('HTTPPORT=%d\r\nLOG_LEVEL=%d\r\n%s' % (self.port, self.args.log_level,
                                                           self.args.extra_config.replace('\\r\\n', '\r\n')))

    def start(self):
        self.out = open(os.path.join(self.work, 'plugin.out'), 'w')
        self.process = subprocess.Popen([self.exe], env=self.env, stdout=self.out, stderr=subprocess.STDOUT)
        deadline = time.time() + 60
        while time.time() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError('the plugin ended at start: %s' % self.process.returncode)
            try:
                with socket.create_connection(('127.0.0.1', self.port), timeout=1):
                    return
            except OSError:
                time.sleep(0.1)
        raise RuntimeError('the plugin does not listen on port %d' % self.port)

    def stop(self):
        if self.process is None or self.process.poll() is not None:
            return self.process.returncode if self.process else None
        self.process.send_signal(signal.SIGTERM)
        try:
            return self.process.wait(timeout=60)
        except subprocess.TimeoutExpired:
            self.process.kill()
            return self.process.wait()

    def sample(self):
        """Resident memory (KiB), threads and open descriptors now."""
        rss = threads = 0
        with open('/proc/%d/status' % self.process.pid) as f:
            for line in f:
                if line.startswith('VmRSS:'):
                    rss = int(line.split()[1])
                elif line.startswith('Threads:'):
                    threads = int(line.split()[1])
        return rss, threads, len(os.listdir('/proc/%d/fd' % self.process.pid))

    def log_errors(self):
        try:
            with open(os.path.join(self.dir, 'ZuntarMervoPlugin.log'), 'rb') as f:
                return sum(1 for line in f if b' ERROR ' in line)
        except OSError:
            return 0


def free_port():
    with socket.socket() as s:
        s.bind(('127.0.0.1', 0))
        return s.getsockname()[1]


def b64(data):
    return base64.b64encode(data).decode()


def openssl(*argv, data=None):
    return subprocess.run(['openssl', *argv], input=data, check=True, stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL).stdout


class Verifier:
    """Every signature through bench_soak_verify, answered asynchronously;
    a sample again through the openssl command."""

    def __init__(self, args, pki, stats, work):
        self.stats = stats
        self.pki = pki
        self.work = work
        self.every = args.openssl_every
        self.process = subprocess.Popen(
            [args.verifier, os.path.join(pki, 'ca.pem'), 'ivanov=' + os.path.join(pki, 'ivanov.pem'),
             'petrov=' + os.path.join(pki, 'petrov.pem')],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, bufsize=1)
        self.lock = threading.Lock()
        self.pending = {}
        self.next_tag = 0
        self.samples = queue.Queue(maxsize=50)
        self.reader = threading.Thread(target=self.read, daemon=True)
        self.reader.start()
        self.sampler = threading.Thread(target=self.check_samples, daemon=True)
        self.sampler.start()

    def submit(self, command, kind, signature, data):
        with self.lock:
            self.next_tag += 1
            tag = self.next_tag
            self.pending[tag] = command
            self.process.stdin.write('%d %s %s %s\n' % (tag, kind, b64(signature), b64(data) or '='))
        self.stats.add('signatures')
        if self.every and tag % self.every == 0 and kind in ('detached', 'attached'):
            try:
                self.samples.put_nowait((command, kind, signature, data))
            except queue.Full:
                self.stats.add('openssl_skipped')

    def read(self):
        for line in self.process.stdout:
            tag, _, verdict = line.rstrip('\n').partition(' ')
            with self.lock:
                command = self.pending.pop(int(tag), '?')
            if verdict == 'ok':
                self.stats.add('verified')
            else:
                with self.stats.lock:
                    self.stats.verify_failed.append('%s: %s' % (command, verdict))

    def check_samples(self):
        sig, content = os.path.join(self.work, 'sample.p7s'), os.path.join(self.work, 'sample.bin')
        while True:
            item = self.samples.get()
            if item is None:
                return
            command, kind, signature, data = item
            with open(sig, 'wb') as f:
                f.write(signature)
            with open(content, 'wb') as f:
                f.write(data)
            argv = ['openssl', 'cms', '-engine', 'gost', '-verify', '-binary', '-inform', 'DER', '-in', sig,
                    '-CAfile', os.path.join(self.pki, 'ca.pem'), '-out', '/dev/null']
            if kind == 'detached':
                argv += ['-content', content]
            good = subprocess.run(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0
            self.stats.add('openssl_checked')
            if not good:
                self.stats.add('openssl_failed')
                with self.stats.lock:
                    self.stats.verify_failed.append('%s: openssl cms -verify failed' % command)

    def finish(self):
        self.process.stdin.close()
        self.reader.join(timeout=600)
        self.samples.put(None)
        self.sampler.join(timeout=600)
        self.process.wait(timeout=60)
        with self.lock:
            return len(self.pending)


class Client:
    def __init__(self, run, number):
        self.run = run
        self.stats = run.stats
        self.rng = random.Random(number)
        self.recent_ids = collections.deque(maxlen=8)

    # One request on a new connection; (status, text). A connection closed
    # or reset before a byte of the reply came is retried.
    def request(self, method, command, body=None, timeout=None):
        target = '/MERVO/' + command
        data = body.encode() if isinstance(body, str) else body
        given_up = time.time() + self.run.args.timeout
        delay = 0.02  # doubled on every refusal, up to a second, as a page backing off would
        while True:
            connection = http.client.HTTPConnection('127.0.0.1', self.run.port,
                                                    timeout=timeout or self.run.args.timeout)
            try:
                connection.request(method, target, body=data,
                                   headers={'Content-Type': 'text/plain'} if data is not None else {})
                response = connection.getresponse()
            except (ConnectionResetError, ConnectionRefusedError, BrokenPipeError,
                    http.client.RemoteDisconnected) as e:
                connection.close()
                with self.stats.lock:
                    self.stats.refused += 1
                    self.stats.refusals[type(e).__name__] += 1
                if time.time() > given_up:
                    raise Wrong('refused for %d s' % self.run.args.timeout)
                time.sleep(self.rng.uniform(delay / 2, delay))
                delay = min(delay * 2, 1.0)
                continue
            except socket.timeout:
                connection.close()
                raise Wrong('no reply within %d s' % (timeout or self.run.args.timeout))
            try:
                payload = response.read()
            except (http.client.IncompleteRead, ConnectionResetError, socket.timeout) as e:
                raise Wrong('reply cut short: %r' % e)
            finally:
                connection.close()
            self.stats.count(command.split('?')[0])
            return response.status, payload.decode('utf-8', 'replace')

    @staticmethod
    def data_of(status, text, what):
        if status != 200 or not text.startswith(OK_HEAD + '"') or not text.endswith('",\r\n"Errors": []\r\n}'):
            raise Wrong('%s: %d %s' % (what, status, text[:200]))
        return text[len(OK_HEAD) + 1:-len('",\r\n"Errors": []\r\n}')]

    def expect(self, method, command, expected, body=None):
        status, text = self.request(method, command, body)
        if (status, text) != expected:
            raise Wrong('%d %s' % (status, text[:200]))

    # The result of a queued task: (status, text) once it is no longer in
    # progress.
    def collect(self, task_id):
        deadline = time.time() + self.run.args.task_limit
        while time.time() < deadline:
            status, text = self.request('GET', 'GETRESULT?Id=' + task_id)
            if status != 201:
                self.stats.add('tasks_finished')
                return status, text
            if text != envelope_error('В стадии выполнения'):
                raise Wrong('GETRESULT 201: ' + text[:200])
            time.sleep(self.rng.uniform(0.05, 0.2))
        with self.stats.lock:
            self.stats.tasks_lost.append(task_id)
        raise Wrong('task %s not done in %d s' % (task_id, self.run.args.task_limit))

    def queue_task(self, command, body, bare=False):
        status, text = self.request('POST', command, body)
        self.stats.add('task_replies')
        task_id = text if bare else self.data_of(status, text, command)
        if status != 200 or not re.fullmatch('[0-9a-f]{32}', task_id):
            raise Wrong('%s: no task id: %d %s' % (command, status, text[:200]))
        self.stats.add('tasks_queued')
        self.recent_ids.append(task_id)
        return task_id

    def result(self, command, body, sync, bare=False):
        if sync:
            status, text = self.request('POST', command.replace('?', '_SYNC?', 1) if '?' in command
                                        else command + '_SYNC', body)
            self.stats.add('task_replies')
            return base64.b64decode(self.data_of(status, text, command + ' sync'))
        status, text = self.collect(self.queue_task(command, body, bare))
        return base64.b64decode(self.data_of(status, text, 'GETRESULT of ' + command))

    # The operations, each a method; `sync` picks the _SYNC form.
    def sign(self, sync, attached):
        data = os.urandom(self.rng.randint(1, 4096))
        who = self.rng.choice(self.run.people)
        command = ('GETSIGN_ATT' if attached else 'GETSIGN') + '?' + self.rng.choice(
            ['CertSN=' + who['serial'], 'CertThumb=' + who['thumb']])
        signature = self.result(command, b64(data), sync)
        self.run.verifier.submit(command.split('?')[0], 'attached' if attached else 'detached', signature, data)

    def sign_hash(self, sync):
        digest = os.urandom(32)
        who = self.rng.choice(self.run.people)
        signature = self.result('SIGN_HASH?CertSN=' + who['serial'], b64(digest), sync)
        self.run.verifier.submit('SIGN_HASH', 'hash:' + who['name'], signature, digest)

    def decrypt(self, sync):
        plain, message = self.rng.choice(self.run.messages)
        if self.result('DECRYPT', b64(message), sync) != plain:
            raise Wrong('DECRYPT: another plaintext')

    def decrypt_fund(self, sync):
        payload, response = self.rng.choice(self.run.fund_responses)
        got = self.result('DECRYPT_FSS_RESPONSE?CertSN=' + self.run.people[0]['serial'], b64(response), sync)
        if got != payload:
            raise Wrong('DECRYPT_FSS_RESPONSE: another payload')

    def aborted(self, fund_request):
        serial = self.run.people[0]['serial']
        if fund_request:
            task_id = self.queue_task('SIGN_SEDO_REQUEST?CertSN=%s&fss_nom=1234567890' % serial, b64(b'<r/>'),
                                      bare=True)
        else:
            task_id = self.queue_task('GET_XML_SIGN?CertSN=' + serial, b64(b'<a/>'))
        status, text = self.collect(task_id)
        if (status, text) != (500, envelope_error(ABORTED)):
            raise Wrong('aborted task: %d %s' % (status, text[:200]))

    def same_as_first(self, command, method='GET', body=None):
        got = self.request(method, command, body)
        if got != self.run.baseline[(method, command)]:
            raise Wrong('%d %s' % (got[0], got[1][:200]))

    def cert_body(self):
        who = self.rng.choice(self.run.people)
        status, text = self.request('GET', 'GETCERTBODY?CertSN=' + who['serial'])
        if base64.b64decode(self.data_of(status, text, 'GETCERTBODY')) != who['der']:
            raise Wrong('GETCERTBODY: another certificate')

    def log_info(self, listing):
        if listing or not self.recent_ids:
            status, text = self.request('GET', 'GETLOGINFO', timeout=max(self.run.args.timeout, 300))
            if status != 200 or not text.startswith(OK_HEAD):
                raise Wrong('GETLOGINFO: %d %s' % (status, text[:200]))
            return
        task_id = self.rng.choice(self.recent_ids)
        status, text = self.request('GET', 'GETLOGINFO?TaskId=' + task_id)
        if status != 200 or not text.startswith(OK_HEAD) or '"Id":"%s"' % task_id not in text:
            raise Wrong('GETLOGINFO of %s: %d %s' % (task_id, status, text[:200]))

    def log_file(self):
        status, text = self.request('GET', 'GETLOGFILE', timeout=max(self.run.args.timeout, 300))
        if status != 200 or not text.startswith(OK_HEAD + '"'):
            raise Wrong('GETLOGFILE: %d %s' % (status, text[:200]))

    def operations(self):
        run = self.run
        ivanov = run.people[0]
        return [
            # (weight, name, action)
            (6, 'PING', lambda: self.same_as_first('PING')),
            (3, 'GETVER', lambda: self.same_as_first('GETVER')),
            (2, 'TRYUSEPLUGIN', lambda: self.same_as_first('TRYUSEPLUGIN')),
            (4, 'ENUMCERTS', lambda: self.same_as_first('ENUMCERTS')),
            (2, 'ENUMALLCERTS', lambda: self.same_as_first('ENUMALLCERTS')),
            (3, 'GETCERTBODY', self.cert_body),
            (2, 'CHECKCERTANDCLUE', lambda: self.same_as_first('CHECKCERTANDCLUE?CertSN=' + ivanov['serial'])),
            (1, 'CHECKCERTANDCLUE POST', lambda: self.same_as_first('CHECKCERTANDCLUE', 'POST', run.ivanov_pem)),
            (8, 'GETSIGN', lambda: self.sign(False, False)),
            (4, 'GETSIGN_ATT', lambda: self.sign(False, True)),
            (4, 'SIGN_HASH', lambda: self.sign_hash(False)),
            (4, 'DECRYPT', lambda: self.decrypt(False)),
            (2, 'DECRYPT_FSS_RESPONSE', lambda: self.decrypt_fund(False)),
            (1, 'GET_XML_SIGN', lambda: self.aborted(False)),
            (1, 'SIGN_SEDO_REQUEST', lambda: self.aborted(True)),
            (5, 'GETSIGN_SYNC', lambda: self.sign(True, False)),
            (3, 'GETSIGN_ATT_SYNC', lambda: self.sign(True, True)),
            (3, 'SIGN_HASH_SYNC', lambda: self.sign_hash(True)),
            (3, 'DECRYPT_SYNC', lambda: self.decrypt(True)),
            (1, 'DECRYPT_FSS_RESPONSE_SYNC', lambda: self.decrypt_fund(True)),
            (2, 'GETLOGINFO?TaskId', lambda: self.log_info(False)),
            (run.args.listing_weight, 'GETLOGINFO', lambda: self.log_info(True)),
            (run.args.listing_weight, 'GETLOGFILE', self.log_file),
            (1, 'unknown command', lambda: self.expect(
                'GET', 'NOSUCHCOMMAND',
                (200, '#Error#ReglamentException Unknown command "NOSUCHCOMMAND"'))),
        ]

    def loop(self):
        ops = self.operations()
        weights = [w for w, _, _ in ops]
        while not self.run.stopping.is_set():
            _, name, action = self.rng.choices(ops, weights)[0]
            with self.stats.lock:
                self.run.operations[name] += 1
            try:
                action()
            except Wrong as e:
                self.stats.fail(name, str(e))
            except Exception as e:  # a fault of the client is a fault of the run too
                self.stats.fail(name, 'client error %r' % e)


class Run:
    def __init__(self, args):
        self.args = args
        self.stats = Stats()
        self.stopping = threading.Event()
        self.operations = collections.Counter()
        self.work = tempfile.mkdtemp(prefix='zuntar-soak-')
        self.plugin = Plugin(args, self.work)
        self.port = self.plugin.port
        self.samples = []

    def prepare(self):
        self.plugin.prepare()
        pki = self.plugin.pki
        self.people = []
        for name in ('ivanov', 'petrov'):
            der = open(os.path.join(pki, name + '.cer'), 'rb').read()
            pem = os.path.join(pki, name + '.pem')
            openssl('x509', '-inform', 'DER', '-in', os.path.join(pki, name + '.cer'), '-out', pem)
            text = openssl('x509', '-in', pem, '-noout', '-serial', '-fingerprint', '-sha1').decode()
            thumb = re.search(r'Fingerprint=([0-9A-F:]+)', text).group(1).replace(':', '')
            # The serial as the plugin writes it (DER bytes, a leading zero
            # kept) comes from ENUMCERTS once it runs.
            self.people.append({'name': name, 'der': der, 'serial': None, 'thumb': thumb})
        openssl('x509', '-inform', 'DER', '-in', os.path.join(pki, 'ca.cer'), '-out', os.path.join(pki, 'ca.pem'))
        self.ivanov_pem = open(os.path.join(pki, 'ivanov.pem')).read()
        self.messages = []
        for i in range(16):
            plain = os.urandom(random.randint(1, 3000))
            to = os.path.join(pki, self.people[i % 2]['name'] + '.pem')
            self.messages.append((plain, openssl('cms', '-engine', 'gost', '-encrypt', '-gost89', '-binary',
                                                 '-outform', 'DER', to, data=plain)))
        self.fund_responses = [self.fund_response(os.urandom(random.randint(1, 2000))) for _ in range(8)]

    def fund_response(self, payload):
        """An encrypted response of the fund's services, made the way the
        fund's side makes it (see tests/support/fund_response.h)."""
        key, iv = os.urandom(32), os.urandom(8)
        pad = (8 - len(payload) % 8) % 8
        wrapped = openssl('pkeyutl', '-engine', 'gost', '-encrypt', '-certin', '-inkey',
                          os.path.join(self.plugin.pki, 'ivanov.pem'), data=key)
        cipher = subprocess.run(['openssl', 'enc', '-engine', 'gost', '-gost89-cbc', '-nopad', '-K', key.hex(),
                                 '-iv', iv.hex()], input=payload + bytes([pad]) * pad, check=True,
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                env=dict(os.environ, CRYPT_PARAMS='1.2.643.7.1.2.5.1.1')).stdout
        xml = ('<?xml version="1.0" encoding="UTF-8"?>\r\n'
               '<soapenv:Envelope xmlns:soapenv="http://schemas.xmlsoap.org/soap/envelope/"><soapenv:Body>'
               '<xenc:EncryptedData xmlns:xenc="http://www.w3.org/2001/04/xmlenc#">'
               '<ds:KeyInfo xmlns:ds="http://www.w3.org/2000/09/xmldsig#"><xenc:EncryptedKey><xenc:CipherData>'
               '<xenc:CipherValue>' + b64(wrapped) + '</xenc:CipherValue></xenc:CipherData></xenc:EncryptedKey>'
               '</ds:KeyInfo><xenc:CipherData><xenc:CipherValue>' + b64(iv + cipher) +
               '</xenc:CipherValue></xenc:CipherData></xenc:EncryptedData></soapenv:Body></soapenv:Envelope>')
        return payload, xml.encode()

    def take_baseline(self):
        client = Client(self, -1)
        status, text = client.request('GET', 'ENUMCERTS')
        listed = {c['Thumbprint'].upper(): c['Serial'] for c in json.loads(text)['Data']} if status == 200 else {}
        for who in self.people:
            who['serial'] = listed.get(who['thumb'])
            if who['serial'] is None:
                raise RuntimeError('ENUMCERTS does not list %s: %d %s' % (who['name'], status, text[:300]))
        self.baseline = {}
        for method, command, body in [('GET', 'PING', None), ('GET', 'GETVER', None), ('GET', 'TRYUSEPLUGIN', None),
                                      ('GET', 'ENUMCERTS', None), ('GET', 'ENUMALLCERTS', None),
                                      ('GET', 'CHECKCERTANDCLUE?CertSN=' + self.people[0]['serial'], None),
                                      ('POST', 'CHECKCERTANDCLUE', self.ivanov_pem)]:
            status, text = client.request(method, command, body)
            if status != 200 or not text.startswith(OK_HEAD):
                raise RuntimeError('%s %s answers %d %s' % (method, command, status, text[:300]))
            self.baseline[(method, command)] = (status, text)

    def sample_memory(self):
        start = time.time()
        while True:
            if self.plugin.process.poll() is not None:
                return
            rss, threads, fds = self.plugin.sample()
            self.samples.append((time.time() - start, rss, threads, fds))
            if self.stopping.wait(self.args.sample):
                return

    def final_table_check(self):
        """Every answered task request left exactly one record, none still
        waiting."""
        client = Client(self, -2)
        status, text = client.request('GET', 'GETLOGINFO', timeout=600)
        if status != 200:
            return 'GETLOGINFO answers %d' % status
        records = text.count('"Id":"')
        waiting = len(re.findall(r'"Status":"(?:New|Wait)"', text))
        self.records = records
        self.records_waiting = waiting
        problems = []
        if records != self.stats.task_replies:
            problems.append('%d task records for %d answered task requests' % (records, self.stats.task_replies))
        if waiting:
            problems.append('%d tasks still waiting' % waiting)
        return '; '.join(problems)

    def go(self):
        args = self.args
        print('work folder %s, port %d' % (self.work, self.port), flush=True)
        self.prepare()
        self.plugin.start()
        self.take_baseline()
        self.verifier = Verifier(args, self.plugin.pki, self.stats, self.work)
        sampler = threading.Thread(target=self.sample_memory)
        sampler.start()
        load_before = open('/proc/loadavg').read().split()[:3]
        clients = [threading.Thread(target=Client(self, n).loop) for n in range(args.clients)]
        started = time.time()
        for c in clients:
            c.start()
        next_report = started + args.report
        while time.time() - started < args.seconds:
            time.sleep(min(1.0, max(0.0, args.seconds - (time.time() - started))))
            if self.plugin.process.poll() is not None:
                break
            if args.report and time.time() >= next_report:
                next_report += args.report
                self.progress(started)
        self.stopping.set()
        load_end = open('/proc/loadavg').read().split()[:3]
        for c in clients:
            c.join()
        elapsed = time.time() - started
        sampler.join()
        alive = self.plugin.process.poll() is None
        unverified = self.verifier.finish()
        table = self.final_table_check() if alive else 'the plugin ended during the run'
        log_errors = self.plugin.log_errors()
        exit_code = self.plugin.stop()
        return self.report(elapsed, load_before, load_end, unverified, table, log_errors, exit_code)

    def progress(self, started):
        s = self.stats
        rss = self.samples[-1][1] if self.samples else 0
        print('%5.0f s: %d replies, %d wrong, %d refused, tasks %d/%d, signatures %d/%d, RSS %d KiB, load %s' % (
            time.time() - started, sum(s.requests.values()), sum(s.wrong.values()), s.refused, s.tasks_finished,
            s.tasks_queued, s.verified, s.signatures, rss, open('/proc/loadavg').read().split()[0]), flush=True)

    def report(self, elapsed, load_before, load_end, unverified, table, log_errors, exit_code):
        s = self.stats
        args = self.args
        print('\n%d clients, %.0f s, LOG_LEVEL=%d, load average before %s, at the end %s' % (
            args.clients, elapsed, args.log_level, ' '.join(load_before), ' '.join(load_end)))
        print('\noperations (chosen):')
        for name, n in sorted(self.operations.items()):
            print('  %-28s %8d   wrong %d' % (name, n, s.wrong[name]))
        print('\nreplies per command:')
        for name, n in sorted(s.requests.items()):
            print('  %-28s %8d  %7.1f/s' % (name, n, n / elapsed))
        total = sum(s.requests.values())
        print('  %-28s %8d  %7.1f/s' % ('all', total, total / elapsed))
        print('\nwrong replies: %d' % sum(s.wrong.values()))
        for text in s.wrong_samples:
            print('  ' + text)
        print('refused (reset without a reply) and retried: %d (%s)' % (
            s.refused, ', '.join('%s %d' % kv for kv in sorted(s.refusals.items()))))
        print('tasks queued (got an id): %d, finished: %d, lost: %d' % (s.tasks_queued, s.tasks_finished,
                                                                        len(s.tasks_lost)))
        print('task records at the end: %s' % (getattr(self, 'records', '?')) +
              (' (%s)' % table if table else ' = answered task requests, none waiting'))
        print('signatures: %d, verified %d, failed %d, unanswered %d; openssl cms -verify on a sample: %d '
              '(%d failed, %d skipped)' % (s.signatures, s.verified, len(s.verify_failed), unverified,
                                           s.openssl_checked, s.openssl_failed, s.openssl_skipped))
        for text in s.verify_failed[:20]:
            print('  ' + text)
        print('\nplugin samples (s, RSS KiB, threads, open files):')
        for t, rss, threads, fds in self.samples:
            print('  %6.0f %9d %5d %5d' % (t, rss, threads, fds))
        after = [x for x in self.samples if x[0] >= args.warmup]
        if len(after) >= 2:
            base, last = after[0][1], self.samples[-1][1]
            peak = max(x[1] for x in after)
            print('RSS first %d KiB, after warm-up (%d s) %d KiB, last %d KiB, peak after warm-up %d KiB: '
                  'growth %+.1f%% (target under 10%%)' % (self.samples[0][1], args.warmup, base, last, peak,
                                                         100.0 * (last - base) / base))
        print('ERROR lines in the plugin log: %d; plugin exit code %s' % (log_errors, exit_code))
        failed = (sum(s.wrong.values()) or s.tasks_lost or s.verify_failed or unverified or table or
                  exit_code != 0 or s.signatures == 0)
        print('\nRESULT: %s' % ('FAILED' if failed else 'passed'))
        return 1 if failed else 0


def main():
    p = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    p.add_argument('--build', default=os.path.join(HERE, '..', 'build', 'release'),
                   help='build folder whose programs are used (default build/release)')
    p.add_argument('--plugin', help='the program (default <build>/src/host/ZuntarMervoPlugin)')
    p.add_argument('--certtool', help='zuntar-certtool (default <build>/tools/zuntar-certtool/zuntar-certtool)')
    p.add_argument('--module', help='the provider module (default found under <build>/src)')
    p.add_argument('--verifier', help='bench_soak_verify (default <build>/bench/bench_soak_verify)')
    p.add_argument('--clients', type=int, default=200)
    p.add_argument('--seconds', type=float, default=600)
    p.add_argument('--sample', type=float, default=10, help='seconds between memory samples')
    p.add_argument('--warmup', type=float, default=60, help='seconds before memory growth is measured')
    p.add_argument('--report', type=float, default=60, help='seconds between progress lines (0: none)')
    p.add_argument('--timeout', type=float, default=60, help='seconds a reply may take')
    p.add_argument('--task-limit', type=float, default=600, help='seconds a queued task may take')
    p.add_argument('--openssl-every', type=int, default=50, help='also check every Nth signature with openssl')
    p.add_argument('--listing-weight', type=float, default=0.005,
                   help='weight of the full GETLOGINFO listing and GETLOGFILE (others 1..8)')
    p.add_argument('--log-level', type=int, default=1)
    p.add_argument('--extra-config', default='', help='more configuration lines, \\r\\n between them')
    p.add_argument('--keep', action='store_true', help='keep the work folder')
    args = p.parse_args()
    build = os.path.abspath(args.build)
    args.plugin = args.plugin or os.path.join(build, 'src/host/ZuntarMervoPlugin')
    args.certtool = args.certtool or os.path.join(build, 'tools/zuntar-certtool/zuntar-certtool')
    args.verifier = args.verifier or os.path.join(build, 'bench/bench_soak_verify')
    if not args.module:
        found = [os.path.join(d, f) for d, _, files in os.walk(os.path.join(build, 'src')) for f in files
                 if f.startswith('libzuntar_gost_csp') and f.endswith('.so')]
        args.module = found[0] if found else ''
    for what in ('plugin', 'certtool', 'verifier', 'module'):
        if not os.path.exists(getattr(args, what)):
            sys.exit('soak: no %s at %r: build first' % (what, getattr(args, what)))
    run = Run(args)
    try:
        code = run.go()
    finally:
        run.stopping.set()
        run.plugin.stop()
        if not args.keep:
            shutil.rmtree(run.work, ignore_errors=True)
    sys.exit(code)


if __name__ == '__main__':
    main()

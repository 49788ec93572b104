// Reads one file of a share with the @marsaud/smb2 client (which logs on
// with NTLMv1) and writes it to standard output; on an error prints the
// status text to standard error and exits 1.
//   node read_file.js PORT SHARE USER PASSWORD NAME
const SMB2 = require('@marsaud/smb2');
const [port, share, user, password, name] = process.argv.slice(2);
const client = new SMB2({
    share: '\\\\127.0.0.1\\' + share, domain: 'WORKGROUP', username: user, password: password,
    port: Number(port), autoCloseTimeout: 0,
});
client.readFile(name, (err, data) => {
    if (err) {
        process.stderr.write(String(err.message || err) + '\n');
        process.exit(1);
    }
    process.stdout.write(data, () => process.exit(0));
});

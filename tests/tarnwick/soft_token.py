"""A fresh SoftHSM2 token for the tarnwick tests: its own configuration in the scratch folder, a
token labelled "tw" with user PIN 1234, and the PIN in a 0600 file so that key references written
from the URI still carry their PIN source."""
import os
import subprocess


def soft_token(w, module, util, label):
    """(environment for the programs, PKCS#11 URI naming object `label` in the token)."""
    home = os.path.join(w, "token")
    os.makedirs(os.path.join(home, "tokens"))
    conf = os.path.join(home, "softhsm2.conf")
    with open(conf, "w") as f:
        f.write(f"directories.tokendir = {home}/tokens\nobjects.backend = file\n")
    env = {"SOFTHSM2_CONF": conf}
    subprocess.run([util, "--init-token", "--free", "--label", "tw", "--pin", "1234", "--so-pin",
                    "5678"], env=dict(os.environ, **env), capture_output=True, check=True)
    pin = os.path.join(home, "pin")
    with open(os.open(pin, os.O_WRONLY | os.O_CREAT, 0o600), "w") as f:
        f.write("1234")
    return env, f"pkcs11:token=tw;object={label}?module-path={module}&pin-source=file://{pin}"

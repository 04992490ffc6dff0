import os

from hypothesis import HealthCheck, settings

settings.register_profile(
    "default", deadline=None, suppress_health_check=[HealthCheck.too_slow]
)
settings.register_profile(
    "fuzz", deadline=None, max_examples=2000, suppress_health_check=list(HealthCheck)
)
settings.load_profile(os.environ.get("PELMORA_HYPOTHESIS_PROFILE", "default"))
